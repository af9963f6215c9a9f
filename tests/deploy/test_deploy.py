"""The deployment examples in deploy/: they parse, name files that exist, pass
the server options it has and metrics it exports, and agree with the HAProxy
configuration the scale test runs."""

import os
import re
import shutil
import subprocess

import pytest
import yaml

ROOT = os.environ.get("VCLONE_SOURCE_DIR") or os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))
DEPLOY = os.path.join(ROOT, "deploy")
HAPROXY_CFG = os.path.join(DEPLOY, "haproxy", "haproxy.cfg")


def kubernetes_documents():
    with open(os.path.join(DEPLOY, "kubernetes", "vclone.yaml")) as f:
        return [d for d in yaml.safe_load_all(f) if d]


def compose():
    with open(os.path.join(DEPLOY, "compose.yaml")) as f:
        return yaml.safe_load(f)


def by_kind(kind):
    return [d for d in kubernetes_documents() if d["kind"] == kind]


def serve_options():
    """The options `vclone serve --help` lists, or None without the program."""
    cli = os.environ.get("VCLONE_CLI")
    if not cli:
        return None
    text = subprocess.run([cli, "serve", "--help"], capture_output=True, text=True, check=True).stdout
    return set(re.findall(r"(--[a-z][a-z-]+)", text))


def exported_metrics():
    with open(os.path.join(ROOT, "tools", "serve", "metrics.cpp")) as f:
        return set(re.findall(r"# TYPE (vclone_[a-z_]+)", f.read()))


def haproxy_variables():
    with open(HAPROXY_CFG) as f:
        return set(re.findall(r"\$\{(VCLONE_[A-Z0-9_]+)\}", f.read()))


def check_server_command(words, options):
    assert words[:2] == ["/opt/vclone/bin/vclone", "serve"], words
    if options is not None:
        for word in words:
            if word.startswith("--"):
                assert word in options, f"vclone serve has no {word}"


def test_kubernetes_parses_and_every_object_is_named():
    documents = kubernetes_documents()
    assert {d["kind"] for d in documents} >= {"Deployment", "Service", "HorizontalPodAutoscaler",
                                              "PersistentVolumeClaim", "Job", "ConfigMap"}
    for d in documents:
        assert d["apiVersion"] and d["metadata"]["name"], d


def test_kubernetes_pods_map_the_prepared_model_read_only_and_are_ready_on_healthz():
    deployment, = by_kind("Deployment")
    job, = by_kind("Job")
    pod = deployment["spec"]["template"]["spec"]
    container, = pod["containers"]
    check_server_command(container["command"] + container["args"], serve_options())
    model = container["command"][container["command"].index("--model") + 1]
    assert model.endswith(".vcm") and "--vocab" not in container["command"]
    mount = next(m for m in container["volumeMounts"] if model.startswith(m["mountPath"] + "/"))
    assert mount["readOnly"] is True
    volume = next(v for v in pod["volumes"] if v["name"] == mount["name"])
    assert volume["persistentVolumeClaim"]["readOnly"] is True
    # The Job writes that very file on that very claim.
    job_pod = job["spec"]["template"]["spec"]
    assert f"--out {model}" in " ".join(job_pod["containers"][0]["args"])
    claim = volume["persistentVolumeClaim"]["claimName"]
    assert any(v["persistentVolumeClaim"]["claimName"] == claim for v in job_pod["volumes"])
    assert claim in {c["metadata"]["name"] for c in by_kind("PersistentVolumeClaim")}
    assert container["readinessProbe"]["httpGet"]["path"] == "/healthz"
    port = deployment["spec"]["template"]["metadata"]["annotations"]["prometheus.io/port"]
    assert int(port) == container["ports"][0]["containerPort"]


def test_kubernetes_scales_on_requests_in_flight_the_server_exports():
    hpa, = by_kind("HorizontalPodAutoscaler")
    metric, = hpa["spec"]["metrics"]
    assert metric["type"] == "Pods"
    name = metric["pods"]["metric"]["name"]
    adapter, = by_kind("ConfigMap")
    rules = yaml.safe_load(adapter["data"]["config.yaml"])["rules"]
    rule = next(r for r in rules if r["name"]["as"] == name)
    used = set(re.findall(r"vclone_[a-z_]+", rule["seriesQuery"] + rule["metricsQuery"]))
    assert used and used <= exported_metrics(), used - exported_metrics()


def test_compose_parses_and_names_files_that_exist():
    services = compose()["services"]
    assert {"haproxy", "vclone1", "vclone2"} <= set(services)
    for name, service in services.items():
        build = service.get("build")
        if build:
            context = os.path.normpath(os.path.join(DEPLOY, build["context"]))
            dockerfile = os.path.join(context, build["dockerfile"])
            assert os.path.isfile(dockerfile), f"{name}: {dockerfile}"
            with open(dockerfile) as f:
                for source in re.findall(r"^COPY (?!--from)(\S+)", f.read(), re.M):
                    assert os.path.exists(os.path.join(context, source)), f"{dockerfile}: {source}"
    # Replicas run images some service builds.
    built = {s.get("image") for s in services.values() if s.get("build")}
    for name in ("vclone1", "vclone2"):
        assert services[name]["image"] in built
        check_server_command(services[name]["entrypoint"], serve_options())


def test_compose_balancer_is_given_every_address_its_configuration_reads():
    services = compose()["services"]
    environment = services["haproxy"]["environment"]
    assert haproxy_variables() == set(environment)
    for i in (1, 2):
        host = environment[f"VCLONE_REPLICA_{i}"].split(":")[0]
        assert host in services, host
    for port in services["haproxy"]["ports"]:
        assert port.startswith("127.0.0.1:"), port


def test_scale_test_sets_every_address_the_configuration_reads():
    with open(os.path.join(ROOT, "scripts", "scale_test.py")) as f:
        text = f.read()
    given = set(re.findall(r"(VCLONE_[A-Z_]+)=", text)) | {
        f"VCLONE_REPLICA_{i}" for i in (1, 2, 3) if 'f"VCLONE_REPLICA_{i}"' in text}
    assert haproxy_variables() <= given, haproxy_variables() - given


@pytest.mark.skipif(not shutil.which("haproxy"), reason="haproxy is not installed")
def test_haproxy_accepts_the_configuration():
    env = dict(os.environ, VCLONE_LISTEN="127.0.0.1:1", VCLONE_STATS_LISTEN="127.0.0.1:2",
               VCLONE_REPLICA_1="127.0.0.1:3", VCLONE_REPLICA_2="127.0.0.1:4",
               VCLONE_REPLICA_3="127.0.0.1:5")
    result = subprocess.run(["haproxy", "-c", "-f", HAPROXY_CFG], env=env, capture_output=True,
                            text=True)
    assert result.returncode == 0, result.stdout + result.stderr
