// window.sqn: the assembler, the disassembler and the renderer of sqn.wasm
// (the same C++ the command-line programs are built from), for the page and
// for scripts:
//   sqn.assemble(text)     → {bytes: Uint8Array} or {errors: [{line, column, message}]}
//   sqn.compileMml(text)   → the same, for Music Macro Language
//   sqn.disassemble(bytes) → the text form, as sqndis lists it
//   sqn.renderWav(bytes, {loops, fade, muted}) → Uint8Array: the whole WAV
//                            file sqn2wav writes (with --loops, --fade, --voices)
//   sqn.importMidi(bytes)  → a promise of the text form mid2sqn writes
// window.sqnReady resolves once it is loaded. sqn.wasmModule is the compiled
// module, for the audio worklet to instantiate.
'use strict';

// What the standalone module asks of its host: a notice that memory grew
// (views are made afresh for every call anyway) and an exit, which only an
// abort would reach.
function sqnImports() {
  return {
    env: { emscripten_notify_memory_growth() {} },
    wasi_snapshot_preview1: {
      proc_exit(code) { throw new Error(`sqn.wasm stopped (${code})`); },
    },
  };
}

window.sqnReady = (async () => {
  let wasmModule;
  try {
    wasmModule = await WebAssembly.compileStreaming(fetch('sqn.wasm'));
  } catch {
    // A server that does not call it application/wasm.
    wasmModule = await WebAssembly.compile(await (await fetch('sqn.wasm')).arrayBuffer());
  }
  const instance = await WebAssembly.instantiate(wasmModule, sqnImports());
  const wasm = instance.exports;
  if (wasm._initialize) wasm._initialize();
  const encoder = new TextEncoder();
  const decoder = new TextDecoder();

  // Calls `fn(pointer, length)` with `bytes` copied into the module, and
  // returns the Blob it gives back as {failed, bytes}, freed.
  function call(fn, bytes) {
    const at = wasm.web_alloc(bytes.length);
    new Uint8Array(wasm.memory.buffer, at, bytes.length).set(bytes);
    const blob = fn(at, bytes.length);
    wasm.web_free(at);
    if (blob === 0) throw new Error('out of memory');
    const [failed, size, data] = new Uint32Array(wasm.memory.buffer, blob, 3);
    const result = { failed: failed !== 0, bytes: new Uint8Array(wasm.memory.buffer, data, size).slice() };
    wasm.web_blob_free(blob);
    return result;
  }

  // {bytes} or {errors}, from a result whose failure lists
  // "line\tcolumn\tmessage" a line.
  function songOrErrors(result) {
    if (!result.failed) return { bytes: result.bytes };
    const errors = decoder.decode(result.bytes).split('\n').filter((line) => line !== '').map((line) => {
      const [lineNumber, column, ...message] = line.split('\t');
      return { line: Number(lineNumber), column: Number(column), message: message.join('\t') };
    });
    return { errors };
  }

  window.sqn = {
    wasmModule,
    assemble(text) {
      return songOrErrors(call(wasm.web_assemble, encoder.encode(text)));
    },
    compileMml(text) {
      return songOrErrors(call(wasm.web_compile_mml, encoder.encode(text)));
    },
    // The line each event comes from, for following along.
    eventLines(text, mml) {
      const bytes = encoder.encode(text);
      const at = wasm.web_alloc(bytes.length);
      new Uint8Array(wasm.memory.buffer, at, bytes.length).set(bytes);
      const blob = wasm.web_event_lines(at, bytes.length, mml ? 1 : 0);
      wasm.web_free(at);
      const [, size, data] = new Uint32Array(wasm.memory.buffer, blob, 3);
      const lines = new Uint32Array(wasm.memory.buffer.slice(data, data + size));
      wasm.web_blob_free(blob);
      return lines;
    },
    // {end, loop, rowsPerSecond, notes: [{frame, voice, pitch, length, event}]} at 48000 Hz.
    songMap(bytes) {
      const result = call(wasm.web_song_map, bytes);
      if (result.failed) throw new Error(decoder.decode(result.bytes));
      const values = new Float64Array(result.bytes.buffer, result.bytes.byteOffset, result.bytes.length / 8);
      const notes = [];
      for (let i = 3; i + 5 <= values.length; i += 5) {
        notes.push({ frame: values[i], voice: values[i + 1], pitch: values[i + 2], length: values[i + 3], event: values[i + 4] });
      }
      return { end: values[0], loop: values[1], rowsPerSecond: values[2], notes };
    },
    // sqn2wav's 16-bit samples of `frames` frames from frame `from` on.
    renderFrom(bytes, from, frames) {
      const at = wasm.web_alloc(bytes.length);
      new Uint8Array(wasm.memory.buffer, at, bytes.length).set(bytes);
      const blob = wasm.web_render_from(at, bytes.length, from, frames);
      wasm.web_free(at);
      const [failed, size, data] = new Uint32Array(wasm.memory.buffer, blob, 3);
      const out = new Uint8Array(wasm.memory.buffer, data, size).slice();
      wasm.web_blob_free(blob);
      if (failed) throw new Error(decoder.decode(out));
      return out;
    },
    // A Standard MIDI File in the text form, as mid2sqn makes it. Each
    // import runs in an instance of its own, so that a malformed file
    // (which stops the instance) leaves the page's own untouched.
    async importMidi(bytes) {
      const own = (await WebAssembly.instantiate(wasmModule, sqnImports())).exports;
      if (own._initialize) own._initialize();
      try {
        const at = own.web_alloc(bytes.length);
        new Uint8Array(own.memory.buffer, at, bytes.length).set(bytes);
        const blob = own.web_import_midi(at, bytes.length);
        const [, size, data] = new Uint32Array(own.memory.buffer, blob, 3);
        return decoder.decode(new Uint8Array(own.memory.buffer, data, size));
      } catch {
        throw new Error('This is not a MIDI file the page can read (mid2sqn says why).');
      }
    },
    disassemble(bytes) {
      return decoder.decode(call(wasm.web_disassemble, bytes).bytes);
    },
    // Options as sqn2wav's: {loops: passes round the loop, fade: seconds,
    // muted: six booleans, the voices left out}.
    renderWav(bytes, { loops = 1, fade = 0, muted = [] } = {}) {
      const mask = muted.reduce((bits, off, voice) => (off ? bits | (1 << voice) : bits), 0);
      const frames = Math.round(fade * 48000);
      const result = call((at, length) => wasm.web_render_wav(at, length, loops, frames, mask), bytes);
      if (result.failed) throw new Error(decoder.decode(result.bytes));
      return result.bytes;
    },
  };
  return window.sqn;
})();
