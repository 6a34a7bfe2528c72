// Types of sqn-player: .sqn songs played in an AudioWorklet by the same
// code as sqn2wav, bit for bit.

/** A `.sqn` file's bytes. */
export type SongBytes = Uint8Array | ArrayBuffer;

/**
 * Bytes the package makes (a song, a WAV file): a `Uint8Array` over an
 * `ArrayBuffer` of its own, which `new Blob([bytes])`, `fetch(url, { body })`
 * and `context.decodeAudioData(bytes.buffer)` take as they are
 * (`Uint8Array<ArrayBuffer>` where TypeScript knows the buffer's type).
 */
export type Bytes = ReturnType<Uint8ArrayConstructor['of']>;

export interface SqnPlayerOptions {
  /** Go back to the loop point at the song's end (default false: the song ends). */
  loop?: boolean;
  /** Pause while the page is hidden and play on from the same frame when it shows (default false). */
  pauseWhenHidden?: boolean;
}

/** Where the music is. */
export interface SqnTime {
  /** Seconds on the player's clock: from the start or the last seek (jumps do not reset it). */
  seconds: number;
  /** Passes back to the loop point so far: 0 before the first. */
  pass: number;
  /** The bar, from 1. */
  bar: number;
  /** The beat in its bar, from 1. */
  beat: number;
  /** How far into the beat, 0 ≤ x < 1. */
  beatPhase: number;
  /** Beats a minute. */
  bpm: number;
  beatsPerBar: number;
}

/** The detail of 'beat', 'bar', 'loop', 'cue' and 'ended': the music where it falls, and when it is heard. */
export interface SqnMusicEventDetail extends SqnTime {
  /**
   * The audio context's time at which it is heard (the event arrives as the
   * music is rendered, a little before): draw it when the context reaches it.
   */
  audioTime: number;
}

/** The detail of 'cue'. */
export interface SqnCueEventDetail extends SqnMusicEventDetail {
  /** The cue's name. */
  cue: string | null;
  /** Its index in the song. */
  index: number;
}

/** Where a jump is taken: at once, the next beat, the next bar, or where the song would go back to its loop point (or end). */
export type SqnJumpAt = 'now' | 'beat' | 'bar' | 'loopEnd';

export interface SqnEffectOptions {
  /** The voices the effect plays on, taken from the music while it sounds, 0 … 5 (default all six). */
  voices?: readonly number[];
}

export interface SqnPlayerEventMap {
  beat: CustomEvent<SqnMusicEventDetail>;
  bar: CustomEvent<SqnMusicEventDetail>;
  loop: CustomEvent<SqnMusicEventDetail>;
  cue: CustomEvent<SqnCueEventDetail>;
  ended: CustomEvent<SqnMusicEventDetail>;
  error: Event & { message: string };
}

/** A song playing on an audio context through an AudioWorkletNode of its own. */
export declare class SqnPlayer extends EventTarget {
  private constructor();

  /**
   * A player for `song` on `context`, held at the start. Rejects if the
   * song is not one (with the loader's message, "failed to load .sqn file.").
   */
  static create(context: BaseAudioContext, song: SongBytes, options?: SqnPlayerOptions): Promise<SqnPlayer>;

  /**
   * Resolves once `context` runs: at once where it does, else resumed inside
   * the first pointer, key or touch gesture on the page (as mobile browsers
   * require).
   */
  static unlock(context: BaseAudioContext): Promise<void>;

  readonly context: BaseAudioContext;
  /** The node the song plays from (stereo, no inputs). */
  readonly node: AudioWorkletNode;
  /** Whether it is playing (not paused, stopped or ended). */
  readonly playing: boolean;
  /** Go back to the loop point at the end. */
  loop: boolean;
  /** Seconds into the song of what is being rendered. */
  readonly position: number;
  /** Seconds from the start to the song's end (one pass). */
  readonly duration: number;

  connect<T extends AudioNode>(destination: T, output?: number, input?: number): T;
  connect(destination: AudioParam, output?: number): void;
  disconnect(): void;
  disconnect(destination: AudioNode | AudioParam): void;

  /** Plays on from where it is (the start after stop() or the end); resumes a suspended context. */
  play(): Promise<void>;
  pause(): void;
  /** Back to the start, silent until played again. */
  stop(): void;
  /**
   * To `seconds` into the song, exactly as if played up to there; a
   * `RangeError` for a time that is not finite, below 0, or past 2^64 frames.
   */
  seek(seconds: number): void;
  /** Voice 0 … 5 played on unheard (true) or heard again (false). */
  setMuted(voice: number, muted: boolean): void;
  /** The gain of the mix (1: sqn2wav's samples exactly); setting it stops a fade. A `RangeError` if not finite. */
  gain: number;
  /** Moves the gain to `gain` over `seconds` (0 … 600), evenly, frame by frame. */
  fadeTo(gain: number, seconds: number): void;
  /** Where the music is now. */
  readonly time: SqnTime;
  /** Seconds from the start to the loop point (the intro's length); null for a song without a loop. */
  readonly loopStart: number | null;
  /** The song's cues by name. */
  readonly cues: string[];
  /**
   * On from the cue named `cue` at the next boundary (default 'now'): from
   * there exactly as a seek to the cue would play. A `RangeError` for a cue
   * the song does not have.
   */
  jump(cue: string, options?: { at?: SqnJumpAt }): void;
  /**
   * Plays another song (a sound effect or jingle) once over the music on the
   * voices listed, those voices of the music playing on unheard meanwhile;
   * resolves when it has played, with the audio context's time at which its
   * end is heard.
   */
  playEffect(song: SongBytes, options?: SqnEffectOptions): Promise<number>;
  /** Lets the song go and disconnects the node, for good (players may be made and closed without end). */
  close(): void;

  addEventListener<K extends keyof SqnPlayerEventMap>(type: K, listener: (this: SqnPlayer, event: SqnPlayerEventMap[K]) => void, options?: boolean | AddEventListenerOptions): void;
  addEventListener(type: string, listener: EventListenerOrEventListenerObject | null, options?: boolean | AddEventListenerOptions): void;
  removeEventListener(type: string, listener: EventListenerOrEventListenerObject | null, options?: boolean | EventListenerOptions): void;
}

/** sqn2wav's options: --loops, --fade and --voices. */
export interface RenderOptions {
  /** Passes round the loop, 1 … 65535 (default 1). */
  loops?: number;
  /** Seconds of fade after the last pass, 0 … 600 (default 0). */
  fade?: number;
  /** The voices heard, 0 … 5 (default all six). */
  voices?: readonly number[];
}

/** The very bytes sqn2wav writes for the song: a 16-bit stereo 48000 Hz WAV file. */
export declare function renderWav(song: SongBytes, options?: RenderOptions): Promise<Bytes>;

/** One mistake in a song's text, where the programs report it. */
export interface SongMistake {
  line: number;
  column: number;
  message: string;
}

/** A text that does not make a song: the first mistake, and all of them in `errors`. */
export declare class SqnSongError extends Error implements SongMistake {
  readonly line: number;
  readonly column: number;
  readonly errors: readonly SongMistake[];
}

/**
 * The song mml2sqn makes of Music Macro Language; rejects with SqnSongError.
 * Of a file of several songs (`#song name`), the one `song` names (as
 * `mml2sqn --song`), the first without it.
 */
export declare function compileMml(text: string, options?: { song?: string }): Promise<Bytes>;

/** The song sqnasm makes of the text form; rejects with SqnSongError. */
export declare function assemble(text: string): Promise<Bytes>;
