// The page of `vclone serve` in headless Chromium: upload a reference, type a
// text, press Speak, and check that the player received audio. Leaves
// page.png in VCLONE_TEST_DIR. Every request goes to 127.0.0.1.
"use strict";
const { chromium } = require("playwright-core");
const { spawn, execFileSync } = require("child_process");
const fs = require("fs");
const os = require("os");
const path = require("path");

const sourceDir = process.env.VCLONE_SOURCE_DIR || path.resolve(__dirname, "../../..");
const workDir = process.env.VCLONE_TEST_DIR || path.join(sourceDir, "build/tests/serve");
const vcloneBin = process.env.VCLONE_BIN || path.join(sourceDir, "build/tools/vclone");
const chromiumPath = process.env.CHROMIUM || "/usr/bin/chromium";
const deadline = Date.now() + 8 * 60 * 1000;

function prepare() {
  const harness = path.join(sourceDir, "tests/serve/serve_harness.py");
  return JSON.parse(execFileSync("/usr/bin/python3", [harness, "prepare", workDir]).toString());
}

// Starts the server on a free port and resolves with its address once ready.
function startServer(paths, voicesDir) {
  const server = spawn(vcloneBin, ["serve", "--model", paths.model, "--vocab", paths.vocab,
    "--voices", voicesDir, "--host", "127.0.0.1", "--port", "0", "--threads", "2"],
    { stdio: ["ignore", "ignore", "pipe"] });
  let log = "";
  const address = new Promise((resolve, reject) => {
    server.stderr.on("data", (data) => {
      log += data.toString();
      const found = log.match(/listening on (http:\/\/127\.0\.0\.1:\d+)/);
      if (found) resolve(found[1]);
    });
    server.on("exit", (code) => reject(new Error("vclone serve exited with " + code + ":\n" + log)));
  });
  return { server, address, log: () => log };
}

async function waitReady(base) {
  while (Date.now() < deadline) {
    try {
      if ((await fetch(base + "/healthz")).status === 200) return;
    } catch (e) { /* not listening yet */ }
    await new Promise((r) => setTimeout(r, 200));
  }
  throw new Error("the server never became ready");
}

async function main() {
  const paths = prepare();
  const voicesDir = fs.mkdtempSync(path.join(os.tmpdir(), "vclone-page-"));
  const running = startServer(paths, voicesDir);
  let browser = null;
  try {
    const base = await running.address;
    await waitReady(base);
    browser = await chromium.launch({ executablePath: chromiumPath, headless: true,
      args: ["--no-sandbox", "--autoplay-policy=no-user-gesture-required"] });
    const page = await browser.newPage();
    const problems = [];
    page.on("pageerror", (e) => problems.push(e.message));
    page.setDefaultTimeout(deadline - Date.now());
    await page.goto(base + "/");
    await page.waitForSelector("#language option[value=en]", { state: "attached" });

    await page.setInputFiles("#reference", paths.reference);
    await page.fill("#voice-name", "page_voice");
    await page.click("#upload");
    await page.waitForSelector("#voice option[value=page_voice]", { state: "attached" });

    await page.click("details summary");
    await page.fill("#max-codes", "40");
    await page.fill("#seed", "4");
    await page.fill("#text", "The page speaks while the audio streams in.");
    await page.click("#speak");
    await page.waitForFunction(() => {
      const player = document.getElementById("result");
      return player.readyState >= 1 || document.getElementById("status").className === "error";
    });
    const result = await page.evaluate(() => ({
      status: document.getElementById("status").textContent,
      stats: document.getElementById("stats").textContent,
      samples: Number(document.getElementById("result").dataset.samples || 0),
      duration: document.getElementById("result").duration,
    }));
    await page.screenshot({ path: path.join(workDir, "page.png"), fullPage: true });
    console.log("page:", JSON.stringify(result));

    const failures = [];
    if (result.status !== "done") failures.push("status is " + JSON.stringify(result.status));
    if (!(result.samples > 0 && result.duration > 0)) failures.push("the player received no audio");
    if (!/first audio after [0-9.]+ s/.test(result.stats)) failures.push("no time to first audio shown");
    if (!/real-time factor [0-9.]+/.test(result.stats)) failures.push("no real-time factor shown");
    if (problems.length) failures.push("page errors: " + problems.join("; "));
    if (failures.length) throw new Error(failures.join("\n"));
  } finally {
    if (browser) await browser.close();
    running.server.removeAllListeners("exit");
    running.server.kill("SIGTERM");
    fs.rmSync(voicesDir, { recursive: true, force: true });
  }
}

main().catch((e) => {
  console.error("page test failed:", e.message);
  process.exit(1);
});
