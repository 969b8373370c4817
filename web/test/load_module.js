// Loads one of the page's WebAssembly builds in node, handing it the .wasm bytes (node's fetch
// cannot read a file path).
const fs = require('fs');
const path = require('path');

async function loadModule(dir, variant) {
  const create = require(path.resolve(dir, `pixelwell-${variant}.js`));
  const m = await create({ wasmBinary: fs.readFileSync(path.resolve(dir, `pixelwell-${variant}.wasm`)) });
  m._pw_init();
  return m;
}

module.exports = { loadModule };
