// The audio worklet: plays a song from its own instance of sqn.wasm, at the
// context's rate, a render quantum at a time. It is sent:
//   {module}                 the compiled sqn.wasm, once
//   {song: bytes, looping, from, paused, id}  this song from its beginning,
//                            or from frame `from` (as if played up to it),
//                            held where `paused`; `id` comes back in reports
//   {looping}                LoopEnd jumps back (true) or ends the song
//   {muted: [six booleans]}  the voices played on unheard, from now on
//   {paused}                 hold (silence, the song kept where it is) or go on
//   {stop: true}             silence
// and sends back {id, frames, time, paused, pass, position, events} (`time`
// the audio clock when `frames` were done) about ten
// times a second and at once after a song or a pause arrives (without
// pass, position and events when no song is open), {id, ended: true}
// once a song that does not loop has ended, and {id, failed: message} if a
// song cannot be opened. Nothing it does throws on the audio thread.
'use strict';

const kMaxQuantum = 4096;  // frames web_player_render takes at most

class SqnPlayerProcessor extends AudioWorkletProcessor {
  constructor() {
    super();
    this.wasm = null;
    this.player = 0;
    this.id = 0;
    this.looping = true;
    this.paused = false;
    this.muted = null;
    this.frames = 0;
    this.sinceStatus = 0;
    this.view = null;
    this.pending = null;
    this.port.onmessage = (event) => {
      this.receive(event.data).catch((error) => this.port.postMessage({ id: this.id, failed: String(error.message) }));
    };
  }

  async receive(message) {
    if (message.module) {
      const imports = {
        env: { emscripten_notify_memory_growth() {} },
        wasi_snapshot_preview1: { proc_exit(code) { throw new Error(`sqn.wasm stopped (${code})`); } },
      };
      const instance = await WebAssembly.instantiate(message.module, imports);
      this.wasm = instance.exports;
      if (this.wasm._initialize) this.wasm._initialize();
      this.left = this.wasm.web_alloc(4 * kMaxQuantum);
      this.right = this.wasm.web_alloc(4 * kMaxQuantum);
      if (this.pending) this.start(this.pending);
      return;
    }
    if (message.song) {
      if (this.wasm) this.start(message); else this.pending = message;
      return;
    }
    if ('looping' in message) {
      this.looping = message.looping;
      if (this.player) this.wasm.web_player_set_looping(this.player, this.looping ? 1 : 0);
    }
    if (message.muted) {
      this.muted = message.muted;
      this.applyMuted();
    }
    if ('paused' in message) {
      this.paused = message.paused;
      this.report();
    }
    if (message.stop) this.close();
  }

  start({ song, looping, from = 0, paused = false, id = 0 }) {
    this.close();
    this.pending = null;
    this.id = id;
    this.looping = looping;
    this.paused = paused;
    const at = this.wasm.web_alloc(song.length);
    new Uint8Array(this.wasm.memory.buffer, at, song.length).set(song);
    this.player = this.wasm.web_player_open(at, song.length, sampleRate);
    this.wasm.web_free(at);
    if (!this.player) {
      this.port.postMessage({ id, failed: 'failed to load .sqn file.' });
      return;
    }
    this.wasm.web_player_set_looping(this.player, looping ? 1 : 0);
    this.applyMuted();
    this.frames = 0;
    if (from > 0) {
      this.wasm.web_player_seek(this.player, from);
      this.frames = from;
    }
    this.report();
  }

  applyMuted() {
    if (!this.player || !this.muted) return;
    this.muted.forEach((off, voice) => this.wasm.web_player_set_muted(this.player, voice, off ? 1 : 0));
  }

  close() {
    if (this.player) this.wasm.web_player_close(this.player);
    this.player = 0;
  }

  // Sent whether or not a song is open, since the page waits on it.
  report() {
    this.sinceStatus = 0;
    const status = { id: this.id, frames: this.frames, time: currentTime, paused: this.paused };
    if (this.player) {
      status.pass = this.wasm.web_player_pass(this.player);
      status.position = this.wasm.web_player_position(this.player);
      status.events = this.wasm.web_player_events(this.player);
    }
    this.port.postMessage(status);
  }

  floats() {
    // The module's memory may have grown since the last quantum.
    if (!this.view || this.view.buffer !== this.wasm.memory.buffer) {
      this.view = new Float32Array(this.wasm.memory.buffer);
    }
    return this.view;
  }

  process(inputs, outputs) {
    if (!this.player || this.paused) return true;
    const output = outputs[0];
    const frames = output[0].length;
    try {
      this.wasm.web_player_render(this.player, this.left, this.right, frames);
    } catch (error) {
      this.close();
      this.port.postMessage({ id: this.id, failed: String(error.message) });
      return true;
    }
    const memory = this.floats();
    output[0].set(memory.subarray(this.left / 4, this.left / 4 + frames));
    if (output[1]) output[1].set(memory.subarray(this.right / 4, this.right / 4 + frames));
    this.frames += frames;
    this.sinceStatus += frames;
    if (this.sinceStatus >= sampleRate / 10) this.report();
    if (!this.looping && this.wasm.web_player_finished(this.player)) {
      this.close();
      this.port.postMessage({ id: this.id, frames: this.frames, time: currentTime, ended: true });
    }
    return true;
  }
}

registerProcessor('sqn-player', SqnPlayerProcessor);
