// The audio worklet: plays a song from its own instance of sqn.wasm, at the
// page's audio rate, a render quantum at a time. The page sends:
//   {module}                 the compiled sqn.wasm, once
//   {song: bytes, looping, from}  start this song from its beginning, or
//                            from frame `from` (as if played up to it)
//   {looping}                LoopEnd jumps back (true) or ends the song
//   {muted: [six booleans]}  the voices played on unheard, from now on
//   {stop: true}             silence
// and hears back {frames, pass, position, events} about ten times a second
// and {ended: true} once a song that does not loop has ended.
'use strict';

const kMaxQuantum = 4096;  // frames web_player_render takes at most

class SqnPlayer extends AudioWorkletProcessor {
  constructor() {
    super();
    this.wasm = null;
    this.player = 0;
    this.looping = true;
    this.frames = 0;
    this.sinceStatus = 0;
    this.view = null;
    this.port.onmessage = (event) => this.receive(event.data);
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
    if (message.stop) this.close();
  }

  start({ song, looping, from = 0 }) {
    this.close();
    this.pending = null;
    this.looping = looping;
    const at = this.wasm.web_alloc(song.length);
    new Uint8Array(this.wasm.memory.buffer, at, song.length).set(song);
    this.player = this.wasm.web_player_open(at, song.length, sampleRate);
    this.wasm.web_free(at);
    if (this.player) this.wasm.web_player_set_looping(this.player, looping ? 1 : 0);
    this.applyMuted();
    this.frames = 0;
    if (this.player && from > 0) {
      this.wasm.web_player_seek(this.player, from);
      this.frames = from;
    }
  }

  applyMuted() {
    if (!this.player || !this.muted) return;
    this.muted.forEach((off, voice) => this.wasm.web_player_set_muted(this.player, voice, off ? 1 : 0));
  }

  close() {
    if (this.player) this.wasm.web_player_close(this.player);
    this.player = 0;
  }

  floats() {
    // The module's memory may have grown since the last quantum.
    if (!this.view || this.view.buffer !== this.wasm.memory.buffer) {
      this.view = new Float32Array(this.wasm.memory.buffer);
    }
    return this.view;
  }

  process(inputs, outputs) {
    const output = outputs[0];
    const frames = output[0].length;
    if (!this.player) return true;
    this.wasm.web_player_render(this.player, this.left, this.right, frames);
    const memory = this.floats();
    output[0].set(memory.subarray(this.left / 4, this.left / 4 + frames));
    if (output[1]) output[1].set(memory.subarray(this.right / 4, this.right / 4 + frames));
    this.frames += frames;
    this.sinceStatus += frames;
    if (this.sinceStatus >= sampleRate / 10) {
      this.sinceStatus = 0;
      this.port.postMessage({
        frames: this.frames,
        pass: this.wasm.web_player_pass(this.player),
        position: this.wasm.web_player_position(this.player),
        events: this.wasm.web_player_events(this.player),
      });
    }
    if (!this.looping && this.wasm.web_player_finished(this.player)) {
      this.close();
      this.port.postMessage({ ended: true });
    }
    return true;
  }
}

registerProcessor('sqn-player', SqnPlayer);
