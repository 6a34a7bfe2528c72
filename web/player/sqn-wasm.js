// sqn.wasm, the player, the text form and MML compiled from the same C++ as
// the command-line programs, and the calls around one instance of it;
// sqn-play.wasm (kPlayerUrl) holds the player's calls alone, for a game
// that only plays songs:
//   loadSqn(url?)          → a promise of the functions below, on an instance
//                            of its own
//   .assemble(text)        → {bytes: Uint8Array} or {errors: [{line, column, message}]}
//   .compileMml(text, song) → the same, for Music Macro Language (of a file of
//                            several songs, the one named; the first where '')
//   .mmlSongs(text)        → the names of an MML file's songs
//   .disassemble(bytes)    → the text form, as sqndis lists it
//   .renderWav(bytes, {loops, fade, muted}) → Uint8Array: the whole WAV file
//                            sqn2wav writes (with --loops, --fade, --voices)
//   .songMap(bytes)        → {end, loop, rowsPerSecond, notes}, or throws
//   .songMusic(bytes)      → {cues, loop, beats, passed}: the song's cue
//                            names, loop frame, beats and cues passed, or throws
//   .seekState(bytes, rate, frames, looping) → Uint8Array: where a player is
//                            that far in, for the worklet to take over
//   .renderFrom(bytes, from, frames), .eventLines(text, mml), .importMidi(bytes)
//   .mmlSpans(text, song?)  → {failed, unitsPerBeat, spans}: where an MML
//                            song's notes and rests are written (the page's roll)
//   .memoryBytes()         → the instance's memory, in bytes
//   .wasmModule            → the compiled module, for an audio worklet
// sharedSqn(url?) gives one instance kept for good, for small calls made
// often (a player's map and seeks): instances are not made per call, since
// a browser holds only so many at once.
// The module is fetched from beside this file (or `url`), so that it is
// found wherever the files are served from.

const kDefaultUrl = new URL('./sqn.wasm', import.meta.url);
export const kPlayerUrl = new URL('./sqn-play.wasm', import.meta.url);
const compiled = new Map();  // URL → a promise of its compiled module: each file is compiled once

// What the standalone module asks of its host: a notice that memory grew
// (views are made afresh for every call anyway) and an exit, which only an
// abort would reach.
export function sqnImports() {
  return {
    env: { emscripten_notify_memory_growth() {} },
    wasi_snapshot_preview1: {
      proc_exit(code) { throw new Error(`sqn.wasm stopped (${code})`); },
    },
  };
}

async function compile(url) {
  try {
    return await WebAssembly.compileStreaming(fetch(url));
  } catch {
    // A server that does not call it application/wasm.
    const response = await fetch(url);
    if (!response.ok) throw new Error(`sqn.wasm could not be fetched from ${url} (${response.status})`);
    return WebAssembly.compile(await response.arrayBuffer());
  }
}

export function compiledModule(url = kDefaultUrl) {
  const key = String(url);
  if (!compiled.has(key)) {
    const promise = compile(key);
    // A failed fetch is tried again next time, not remembered.
    promise.catch(() => compiled.delete(key));
    compiled.set(key, promise);
  }
  return compiled.get(key);
}

async function instantiate(wasmModule) {
  const instance = await WebAssembly.instantiate(wasmModule, sqnImports());
  if (instance.exports._initialize) instance.exports._initialize();
  return instance.exports;
}

const encoder = new TextEncoder();
const decoder = new TextDecoder();

// `bytes` as a Uint8Array, whether given as one, as an ArrayBuffer or as a
// view of one.
export function asBytes(bytes) {
  if (bytes instanceof Uint8Array) return bytes;
  if (bytes instanceof ArrayBuffer) return new Uint8Array(bytes);
  if (ArrayBuffer.isView(bytes)) return new Uint8Array(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  throw new TypeError('a song is the bytes of a .sqn file: a Uint8Array or an ArrayBuffer');
}

function coreOf(wasm, wasmModule) {
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

  // A song's name and then the text, as one buffer, and the name's length.
  function named(text, song) {
    const name = encoder.encode(String(song));
    const body = encoder.encode(text);
    const bytes = new Uint8Array(name.length + body.length);
    bytes.set(name);
    bytes.set(body, name.length);
    return [bytes, name.length];
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

  return {
    wasmModule,
    assemble(text) {
      return songOrErrors(call(wasm.web_assemble, encoder.encode(text)));
    },
    // Of a file of several songs, the one named `song` (the first where '').
    compileMml(text, song = '') {
      const [bytes, nameSize] = named(text, song);
      return songOrErrors(call((at, length) => wasm.web_compile_mml(at, length, nameSize, 0), bytes));
    },
    // compileMml's {bytes} with the line each event comes from (`lines`),
    // from the one compile; or {errors}.
    compileMmlWithLines(text, song = '') {
      const [bytes, nameSize] = named(text, song);
      const result = call((at, length) => wasm.web_compile_mml(at, length, nameSize, 1), bytes);
      if (result.failed) return songOrErrors(result);
      const size = new DataView(result.bytes.buffer).getUint32(0, true);
      return { bytes: result.bytes.slice(4, 4 + size), lines: new Uint32Array(result.bytes.buffer.slice(4 + size)) };
    },
    // The names of an MML file's songs (#song name); [] for a file of one.
    mmlSongs(text) {
      const names = decoder.decode(call(wasm.web_mml_songs, encoder.encode(text)).bytes);
      return names.split('\n').filter((name) => name !== '');
    },
    // The line each event comes from, for following along.
    eventLines(text, mml, song = '') {
      const [bytes, nameSize] = named(text, mml ? song : '');
      const at = wasm.web_alloc(bytes.length);
      new Uint8Array(wasm.memory.buffer, at, bytes.length).set(bytes);
      const blob = wasm.web_event_lines(at, bytes.length, mml ? 1 : 0, nameSize);
      wasm.web_free(at);
      const [, size, data] = new Uint32Array(wasm.memory.buffer, blob, 3);
      const lines = new Uint32Array(wasm.memory.buffer.slice(data, data + size));
      wasm.web_blob_free(blob);
      return lines;
    },
    // An MML song's notes and rests where written: {failed, unitsPerBeat,
    // spans: [{voice, start, length, pitch, line, column, octave,
    // transpose}]}, times in units, pitch -1 for a rest.
    mmlSpans(text, song = '') {
      const [bytes, nameSize] = named(text, song);
      const result = call((at, length) => wasm.web_mml_spans(at, length, nameSize), bytes);
      const values = new Float64Array(result.bytes.buffer, result.bytes.byteOffset, result.bytes.length / 8);
      const spans = [];
      for (let i = 2; i + 8 <= values.length; i += 8) {
        spans.push({ voice: values[i], start: values[i + 1], length: values[i + 2], pitch: values[i + 3],
          line: values[i + 4], column: values[i + 5], octave: values[i + 6], transpose: values[i + 7] });
      }
      return { failed: values[0] !== 0, unitsPerBeat: values[1], spans };
    },
    // {end, loop, rowsPerSecond, notes: [{frame, voice, pitch, length, event}]} at 48000 Hz.
    songMap(bytes) {
      const result = call(wasm.web_song_map, asBytes(bytes));
      if (result.failed) throw new Error(decoder.decode(result.bytes));
      const values = new Float64Array(result.bytes.buffer, result.bytes.byteOffset, result.bytes.length / 8);
      const notes = [];
      for (let i = 3; i + 5 <= values.length; i += 5) {
        notes.push({ frame: values[i], voice: values[i + 1], pitch: values[i + 2], length: values[i + 3], event: values[i + 4] });
      }
      return { end: values[0], loop: values[1], rowsPerSecond: values[2], notes };
    },
    // {cues: [names by index], loop: frame or -1, beats: [[frame, bar,
    // beat]], passed: [[frame, cue index]]}: one pass's musical time, at
    // 48000 Hz.
    songMusic(bytes) {
      const result = call(wasm.web_song_music, asBytes(bytes));
      if (result.failed) throw new Error(decoder.decode(result.bytes));
      return JSON.parse(decoder.decode(result.bytes));
    },
    // Where a player of the song at `rate` is `frames` frames in, looping or
    // not (a looping song goes round whole passes at once): the bytes the
    // worklet takes over, so that it never seeks itself.
    seekState(bytes, rate, frames, looping) {
      const result = call((at, length) => wasm.web_seek_state(at, length, rate, frames, looping ? 1 : 0), asBytes(bytes));
      if (result.failed) throw new Error(decoder.decode(result.bytes));
      return result.bytes;
    },
    memoryBytes() {
      return wasm.memory.buffer.byteLength;
    },
    // sqn2wav's 16-bit samples of `frames` frames from frame `from` on.
    renderFrom(bytes, from, frames) {
      const result = call((at, length) => wasm.web_render_from(at, length, from, frames), asBytes(bytes));
      if (result.failed) throw new Error(decoder.decode(result.bytes));
      return result.bytes;
    },
    // A Standard MIDI File in the text form, as mid2sqn makes it. Each
    // import runs in an instance of its own, so that a malformed file
    // (which stops the instance) leaves this one untouched.
    async importMidi(bytes) {
      const own = await instantiate(wasmModule);
      try {
        const data = asBytes(bytes);
        const at = own.web_alloc(data.length);
        new Uint8Array(own.memory.buffer, at, data.length).set(data);
        const blob = own.web_import_midi(at, data.length);
        const [, size, text] = new Uint32Array(own.memory.buffer, blob, 3);
        return decoder.decode(new Uint8Array(own.memory.buffer, text, size));
      } catch {
        throw new Error('This is not a MIDI file the page can read (mid2sqn says why).');
      }
    },
    disassemble(bytes) {
      return decoder.decode(call(wasm.web_disassemble, asBytes(bytes)).bytes);
    },
    // Options as sqn2wav's: {loops: passes round the loop, fade: seconds,
    // muted: six booleans, the voices left out}.
    renderWav(bytes, { loops = 1, fade = 0, muted = [] } = {}) {
      const mask = muted.reduce((bits, off, voice) => (off ? bits | (1 << voice) : bits), 0);
      const frames = Math.round(fade * 48000);
      const result = call((at, length) => wasm.web_render_wav(at, length, loops, frames, mask), asBytes(bytes));
      if (result.failed) throw new Error(decoder.decode(result.bytes));
      return result.bytes;
    },
  };
}

const kept = new Map();  // URL → a promise of the instance sharedSqn keeps

export function sharedSqn(url = kDefaultUrl) {
  const key = String(url);
  if (!kept.has(key)) {
    const promise = loadSqn(url);
    promise.catch(() => kept.delete(key));
    kept.set(key, promise);
  }
  return kept.get(key);
}

export async function loadSqn(url = kDefaultUrl) {
  const wasmModule = await compiledModule(url);
  return coreOf(await instantiate(wasmModule), wasmModule);
}
