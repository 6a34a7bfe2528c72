// Writes the licences of what the page bundles: every npm package esbuild
// put into a bundle (read from its metafiles), each with its LICENSE file,
// after the notice of what sqn.wasm holds.
//   node licenses.mjs OUTPUT WASM_NOTICE FOLDER METAFILE...
// FOLDER: where esbuild ran, which the metafiles' paths are relative to.
import fs from 'node:fs';
import path from 'node:path';

const [output, wasmNotice, folder, ...metafiles] = process.argv.slice(2);
const packages = new Map();  // name → its folder
for (const metafile of metafiles) {
  const { inputs } = JSON.parse(fs.readFileSync(metafile, 'utf8'));
  for (const input of Object.keys(inputs)) {
    const match = input.match(/^(.*node_modules\/)((?:@[^/]+\/)?[^/]+)\//);
    if (match) packages.set(match[2], path.resolve(folder, match[1] + match[2]));
  }
}
let text = `Third-party licences of the playground
======================================

The page is the sqn2wav project's own code (MIT, see LICENSE), with the
packages below bundled into editor.js and zip.js, and sqn.wasm.

${fs.readFileSync(wasmNotice, 'utf8')}`;
for (const name of [...packages.keys()].sort()) {
  const home = packages.get(name);
  const manifest = JSON.parse(fs.readFileSync(path.join(home, 'package.json'), 'utf8'));
  const file = fs.readdirSync(home).find((entry) => /^(licen[cs]e|copying)(\.|$)/i.test(entry));
  if (!file) throw new Error(`${name} has no licence file`);
  const heading = `${name} ${manifest.version} (${manifest.license})`;
  text += `\n${heading}\n${'-'.repeat(heading.length)}\n\n${fs.readFileSync(path.join(home, file), 'utf8').trim()}\n`;
}
fs.writeFileSync(output, text);
