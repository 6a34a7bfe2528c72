// window.sqn for the page and for scripts: the package's calls on sqn.wasm
// (see sqn-player/sqn-wasm.js), loaded from the package's own files.
// window.sqnReady resolves once it is loaded; sqn.wasmModule is the
// compiled module, for the audio worklet to instantiate.
import { loadSqn } from './sqn-player/sqn-wasm.js';

window.sqnReady = loadSqn().then((sqn) => {
  window.sqn = sqn;
  return sqn;
});
