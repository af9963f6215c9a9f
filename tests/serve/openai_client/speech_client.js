// Asks `vclone serve` for speech with the official OpenAI Node client, as a
// chat front end would: lists the models, then asks for each format, whole
// and streamed, and writes every answer into a folder for the test to decode.
//
// usage: node speech_client.js BASE_URL API_KEY VOICE OUT_DIR
// Prints a JSON summary: the model ids, the files written, the errors met.
const fs = require('fs');
const path = require('path');
const OpenAI = require('openai');

async function main() {
  const [baseURL, apiKey, voice, outDir] = process.argv.slice(2);
  const client = new OpenAI({ baseURL, apiKey, maxRetries: 0, timeout: 300000 });
  const summary = { models: [], files: {}, errors: {} };

  for await (const model of client.models.list()) summary.models.push(model.id);

  // The random test model never stops by itself: every request bounds its codes.
  const common = { model: 'tts-1', input: 'Hello there, how are you?', instructions: 'Speak calmly.',
                   seed: 3, max_codes: 20 };
  for (const format of ['wav', 'pcm', 'mp3', 'opus', 'flac', 'aac']) {
    for (const stream of [false, true]) {
      const name = `${format}${stream ? '-stream' : ''}.${format}`;
      const response = await client.audio.speech.create({ ...common, voice, response_format: format, stream });
      fs.writeFileSync(path.join(outDir, name), Buffer.from(await response.arrayBuffer()));
      summary.files[name] = response.headers.get('content-type');
    }
  }
  const byObject = await client.audio.speech.create({ ...common, voice: { id: voice }, response_format: 'pcm' });
  fs.writeFileSync(path.join(outDir, 'voice-object.pcm'), Buffer.from(await byObject.arrayBuffer()));
  summary.files['voice-object.pcm'] = byObject.headers.get('content-type');

  for (const [name, body] of [['unknown voice', { ...common, voice: 'nobody' }],
                              ['unknown format', { ...common, voice, response_format: 'm4a' }]]) {
    try {
      await client.audio.speech.create(body);
      summary.errors[name] = null;
    } catch (error) {
      summary.errors[name] = { status: error.status, code: error.code, param: error.param };
    }
  }
  process.stdout.write(JSON.stringify(summary) + '\n');
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
