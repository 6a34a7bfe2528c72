// The playground: the song's text (the text form or MML) in an editor,
// assembled or compiled as it is typed,
// played through an audio worklet, downloaded as .sqn or as sqn2wav's .wav.
import { createRoll } from './roll.js';

const $ = (id) => document.getElementById(id);
// The editor (editor.js): the text, its highlighting, errors and the line
// being played. `#song` also reads and takes the text as its `value`.
const editor = window.SqnEditor.create($('song'));
const errorList = $('errors');
const message = $('message');
const playButton = $('play');
const stopButton = $('stop');
const loopBox = $('loop');
const position = $('position');
const scope = $('scope');

let songName = 'demo';
// Each voice as the lanes' numbers set it: '' heard, 'muted', or 'solo'
// (then only the soloed voices are heard), as trackers have it.
const voiceStates = ['', '', '', '', '', ''];
const languageMenu = $('language');  // 'text' (the text form) or 'mml'
const pauseButton = $('pause');
const lanes = $('lanes');
const songChoice = $('song-choice');
const songMenu = $('songs');
let paused = false;
let playingBytes = null;  // the bytes the worklet plays
let eventLines = new Uint32Array(0);  // the text line of each event
let songMap = null;        // {end, loop, rowsPerSecond, notes} for the lanes
let songMusic = null;      // {cues, loop, beats: [[frame, bar, beat]], passed: [[frame, cue]]}: bars and cues
// The worklet's reports of the last two seconds, oldest first, each with
// `clock`, the audio clock when it came (seconds).
let reports = [];
const kKeptReports = 20;
let startedFrom = 0;       // the frame the worklet was last sent to play from, at its rate
let savedText = '';        // the text as last loaded: edits past it are unsaved
let linkTimer = 0;
const kStorageKey = 'sqn-playground';
const kMaxLinkBytes = 8192;  // compressed: longer songs get no link
const kMaxLinkText = 16 << 20;  // bytes a link's song may inflate to: what mml2sqn reads at most
let audio = null;      // {context, node, analyser} once Play was first pressed
let playing = false;
let assembled = null;  // the text's bytes, or null while it has errors
let editTimer = 0;

// The piano roll edits the MML text, which stays the song.
const rollPanel = $('roll-panel');
let previewContext = null;
const roll = createRoll({
  canvas: $('roll'),
  status: $('roll-status'),
  lengthMenu: $('roll-length'),
  channelMenu: $('roll-channel'),
  spansOf: (text) => window.sqn.mmlSpans(text, songMenu.value && !songChoice.hidden ? songMenu.value : ''),
  textOf: () => editor.value,
  edit: (text) => editor.replaceText(text),
  undo: () => editor.undo(),
  redo: () => editor.redo(),
  preview: previewNote,
  say,
});
$('roll-zoom-in').addEventListener('click', () => roll.zoom(1.5));
$('roll-zoom-out').addEventListener('click', () => roll.zoom(1 / 1.5));

// A note heard as it is entered: the channel's voice alone, rendered as
// sqn2wav would and played once.
async function previewNote(voice, pitch, beats) {
  const compiled = window.sqn.compileMml(`${'ABCDEF'[voice]} t120 n${pitch + 39},${beats >= 1 ? 4 : 8}\n`);
  if (!compiled.bytes) return;
  try {
    previewContext = previewContext || (audio ? audio.context : new AudioContext());
    if (previewContext.state === 'suspended' && !playing) await previewContext.resume();
    const wav = window.sqn.renderWav(compiled.bytes);
    const buffer = await previewContext.decodeAudioData(wav.buffer.slice(wav.byteOffset, wav.byteOffset + wav.byteLength));
    const source = previewContext.createBufferSource();
    source.buffer = buffer;
    source.connect(previewContext.destination);
    source.start();
  } catch {
    // Heard or not, the note is entered.
  }
}

// For scripts and tests: the audio clock and its state.
window.sqnPage = {
  audioTime: () => (audio ? audio.context.currentTime : 0),
  audioState: () => (audio ? audio.context.state : 'none'),
  song: () => assembled,
  playingSong: () => playingBytes,
  rate: () => (audio ? audio.context.sampleRate : 0),
  map: () => songMap,
  music: () => songMusic,
  songs: () => Array.from(songMenu.options, (option) => option.value),
  position: () => position.value,
  playingLine: () => playingLine,
  get startedFrom() { return startedFrom; },
  cursor: () => editor.cursor(),
  roll,
  text: () => editor.value,
  setText: (text) => editor.replaceText(String(text)),
};

function say(text) {
  message.textContent = text;
}

let playingLine = 0;        // the line of the event being played, 0 for none

// Assembles the text and shows its errors. What the lanes and the
// following of lines need is worked out at once, or (`later`, after an
// edit) once the new song has gone to the worklet, so that what is heard
// changes first.
let viewsWanted = 0;  // the last assembly whose views are to be drawn
function assemble(later = false) {
  const text = editor.value;
  const song = chooseSong(text);
  const result = languageMenu.value === 'mml' ? window.sqn.compileMml(text, song) : window.sqn.assemble(text);
  window.sqnPage.assembledText = text;  // for tests: the text last assembled
  errorList.replaceChildren();
  editor.setLanguage(languageMenu.value);
  showTitle();
  if (result.errors) {
    assembled = null;
    // The first hundred, then how many more: the module counts the rest.
    for (const error of result.errors) {
      const item = document.createElement('li');
      if (error.line === 0) {
        item.textContent = error.message;
      } else {
        item.textContent = `${error.line}:${error.column}: ${error.message}`;
        item.addEventListener('click', () => editor.goTo(error.line, error.column));
      }
      errorList.append(item);
    }
  } else {
    assembled = result.bytes;
  }
  editor.setErrors(result.errors || []);
  const wanted = ++viewsWanted;
  const views = () => {
    if (wanted !== viewsWanted) return;  // a later edit draws its own
    if (result.bytes) {
      eventLines = window.sqn.eventLines(text, languageMenu.value === 'mml', song);
      try { songMap = window.sqn.songMap(result.bytes); } catch { songMap = null; }
      try { songMusic = window.sqn.songMusic(result.bytes); } catch { songMusic = null; }
    }
    drawLanes();
    rollPanel.hidden = languageMenu.value !== 'mml';
    if (!rollPanel.hidden) {
      const meter = /^#meter[ \t]+(\d+)/m.exec(text);
      roll.setMeter(meter ? Number(meter[1]) : 4);
      roll.refresh();
    }
  };
  if (later) setTimeout(views, 0); else views();
  return assembled;
}

// An MML file of several songs (#song name) offers them in a menu; the
// one chosen is compiled, and stays chosen while the text keeps it.
// Returns its name, or '' for a file of one song.
function chooseSong(text) {
  const names = languageMenu.value === 'mml' ? window.sqn.mmlSongs(text) : [];
  const current = songMenu.value;
  const shown = Array.from(songMenu.options, (option) => option.value);
  if (shown.join('\n') !== names.join('\n')) {
    songMenu.replaceChildren(...names.map((name) => new Option(name, name)));
    songMenu.value = names.includes(current) ? current : (names[0] || '');
  }
  songChoice.hidden = names.length < 2;
  return names.length > 0 ? songMenu.value : '';
}

function sameBytes(a, b) {
  return a && b && a.length === b.length && a.every((value, i) => value === b[i]);
}

// An edit that changes the song's bytes carries on playing the new song
// from the same time; one that does not (a comment, a space) changes
// nothing that is heard.
// A pause in typing this long (ms) compiles: short, so that what plays
// follows the text at once.
const kEditPause = 40;
function onEdit() {
  clearTimeout(editTimer);
  editTimer = setTimeout(() => {
    const bytes = assemble(true);
    if (bytes && playing && !sameBytes(bytes, playingBytes)) startSong(Math.round(renderedFrames()));
    save();
  }, kEditPause);
}

// The frames the worklet has rendered by now, at its own rate: its last
// report carried on by the audio clock (a quarter of a second at most,
// should reports stop coming).
function renderedFrames() {
  const last = reports[reports.length - 1];
  if (!last) return 0;
  const since = Math.min(0.25, Math.max(0, audio.context.currentTime - last.clock));
  return last.frames + since * audio.context.sampleRate;
}

// The frames heard by now: those rendered, less those still on their way
// to the speakers (a Bluetooth headset holds a fifth of a second or more).
function heardFrames() {
  const latency = (audio.context.outputLatency || 0) + (audio.context.baseLatency || 0);
  return Math.max(startedFrom, renderedFrames() - latency * audio.context.sampleRate);
}

async function setUpAudio() {
  const context = new AudioContext({ latencyHint: 'interactive' });
  await context.audioWorklet.addModule('sqn-player/worklet.js');
  const node = new AudioWorkletNode(context, 'sqn-player', { outputChannelCount: [2] });
  const analyser = context.createAnalyser();
  analyser.fftSize = 2048;
  node.connect(analyser);
  analyser.connect(context.destination);
  node.port.postMessage({ module: window.sqn.wasmModule });
  node.port.onmessage = (event) => {
    const status = event.data;
    if (status.failed) {
      say(`The song could not be played: ${status.failed}`);
      return;
    }
    if (status.ended) {
      stop().then(() => say('The song has ended.'));
      return;
    }
    if (status.pass === undefined) return;  // no song open
    reports.push({ ...status, clock: context.currentTime });
    if (reports.length > kKeptReports) reports.shift();
    showPosition();
  };
  return { context, node, analyser };
}

// Where the playhead is in the song, in frames at 48000 Hz: past the song's
// end a looping song is back in its looped part.
function songFrame(frames, rate) {
  let frame = (frames * 48000) / rate;
  if (songMap && frame > songMap.end && songMap.loop >= 0) {
    frame = songMap.loop + ((frame - songMap.end) % Math.max(1, songMap.end - songMap.loop));
  }
  return frame;
}

// The bar and beat at a frame of the song (48000 Hz), as its map counts
// them: the last beat at or before it.
function barAndBeat(frame) {
  const beats = songMusic.beats;
  let low = 0;
  let high = beats.length;
  while (high - low > 1) {
    const middle = (low + high) >> 1;
    if (beats[middle][0] <= frame) low = middle; else high = middle;
  }
  if (beats.length === 0) return 'bar 1, beat 1';
  return `bar ${beats[low][1]}, beat ${beats[low][2]}`;
}

// Beats from the song's start at a frame (48000 Hz), between the map's
// beats, for the roll's playhead.
function beatAtFrame(frame) {
  const beats = songMusic.beats;
  let index = 0;
  while (index + 1 < beats.length && beats[index + 1][0] <= frame) ++index;
  if (beats.length < 2) return 0;
  const next = index + 1 < beats.length ? beats[index + 1][0] : 2 * beats[index][0] - beats[index - 1][0];
  return index + Math.min(1, Math.max(0, (frame - beats[index][0]) / Math.max(1, next - beats[index][0])));
}

// What is being heard: time, pass, bar and beat, the line of its event, and
// the lanes' playhead. Reports come ahead of the sound by the output's
// latency; the one shown is the last at or before what is heard.
function showPosition() {
  if (!playing || reports.length === 0) return;
  const rate = audio.context.sampleRate;
  const frames = heardFrames();
  let report = reports[0];
  for (const next of reports) if (next.frames <= frames) report = next;
  // Tenths cut, not rounded, to agree with the bar and beat.
  const seconds = Math.floor((frames / rate) * 10) / 10;
  const minutes = Math.floor(seconds / 60);
  const where = songMusic ? ` · ${barAndBeat(songFrame(frames, rate))}` : '';
  position.value = `${minutes}:${(seconds - 60 * minutes).toFixed(1).padStart(4, '0')}` +
    ` · pass ${report.pass + 1}${where}`;
  const event = report.position - 1;
  const line = event >= 0 && event < eventLines.length ? eventLines[event] : 0;
  if (line !== playingLine) {
    playingLine = line;
    editor.setPlaying(line);
    editor.showLine(line);
  }
  showLanes();
}

// The voices left out, as six booleans: all but the soloed ones where any
// is soloed, else the muted ones.
function mutedVoices() {
  const solo = voiceStates.includes('solo');
  return voiceStates.map((state) => (solo ? state !== 'solo' : state === 'muted'));
}

function startSong(from = 0) {
  playingBytes = assembled;
  // Where the song is `from` frames in, worked out here: the worklet never
  // seeks on the audio thread.
  const state = from > 0 ? window.sqn.seekState(assembled, audio.context.sampleRate, from, loopBox.checked) : null;
  audio.node.port.postMessage({ muted: mutedVoices() });
  audio.node.port.postMessage({ song: assembled, looping: loopBox.checked, from, state });
  reports = [{ frames: from, pass: 0, position: 0, events: 0, clock: audio.context.currentTime }];
  startedFrom = from;
}

// Plays from a frame of the song at 48000 Hz (the start unless given).
async function play(from48 = 0) {
  if (!assemble()) {
    say('The song has errors: play starts once they are mended.');
    return;
  }
  if (!audio) audio = await setUpAudio();
  startSong(Math.round((from48 * audio.context.sampleRate) / 48000));
  await audio.context.resume();
  playing = true;
  paused = false;
  playButton.disabled = true;
  pauseButton.disabled = false;
  pauseButton.textContent = '❚❚ Pause';
  stopButton.disabled = false;
  say(`Playing at ${audio.context.sampleRate} Hz.`);
  animate();
}

// Pause holds the audio clock where it is; Resume goes on from there.
async function togglePause() {
  if (!playing || !audio) return;
  paused = !paused;
  pauseButton.textContent = paused ? '▶ Resume' : '❚❚ Pause';
  if (paused) {
    await audio.context.suspend();
    say('Paused.');
  } else {
    await audio.context.resume();
    say(`Playing at ${audio.context.sampleRate} Hz.`);
    animate();
  }
}

async function stop() {
  if (!audio) return;
  audio.node.port.postMessage({ stop: true });
  await audio.context.suspend();
  playing = false;
  paused = false;
  playButton.disabled = false;
  pauseButton.disabled = true;
  pauseButton.textContent = '❚❚ Pause';
  stopButton.disabled = true;
  playingLine = 0;
  editor.setPlaying(0);
  showLanes();
  say('');
}

let animation = 0;  // the animation frame asked for, 0 for none

// Draws the scope and the playhead every animation frame while playing:
// one chain of frames however often Play is pressed.
function animate() {
  if (!animation) animation = requestAnimationFrame(drawScope);
}

// The waveform of what plays, from the analyser after the worklet.
function drawScope() {
  animation = 0;
  const graphics = scope.getContext('2d');
  const { width, height } = scope;
  graphics.clearRect(0, 0, width, height);
  if (!playing || paused) return;
  const samples = new Float32Array(audio.analyser.fftSize);
  audio.analyser.getFloatTimeDomainData(samples);
  graphics.strokeStyle = '#6cc4ff';
  graphics.beginPath();
  for (let x = 0; x < width; ++x) {
    const value = samples[Math.floor((x * samples.length) / width)];
    const y = (0.5 - value * 0.5) * height;
    if (x === 0) graphics.moveTo(x, y); else graphics.lineTo(x, y);
  }
  graphics.stroke();
  showPosition();
  animate();
}

function download(bytes, name, type) {
  const url = URL.createObjectURL(new Blob([bytes], { type }));
  const link = document.createElement('a');
  link.href = url;
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
}

// The song's #title (MML), as written, or nothing.
function songTitle() {
  if (languageMenu.value !== 'mml') return '';
  const match = /^[ \t]*#title[ \t]+"([^"\n]*)"/m.exec(editor.value);
  return match ? match[1].trim() : '';
}

// What a download is called: the song's title where it has one, else the
// example's or the opened file's name; nothing a file name cannot hold.
function downloadName() {
  const title = songTitle().replace(/[\x00-\x1f\x7f/\\:*?"<>|]+/g, '-').replace(/^[.\s-]+|[.\s-]+$/g, '');
  return title || songName;
}

function showTitle() {
  const title = songTitle();
  document.title = title ? `${title} · sqn playground` : 'sqn playground';
}

function downloadSqn() {
  if (!assemble()) return say('The song has errors: mend them to download it.');
  download(assembled, `${downloadName()}.sqn`, 'application/octet-stream');
}

// What the download boxes ask for, as sqn2wav's --loops and --fade take it.
function renderOptions() {
  const loops = Math.min(65535, Math.max(1, Math.floor(Number($('passes').value) || 1)));
  const fade = Math.min(600, Math.max(0, Number($('fade').value) || 0));
  return { loops, fade };
}

// The .wav sqn2wav writes, with the passes and fade asked for and the
// voices as the lanes have them (what is heard is what is downloaded).
function downloadWav() {
  if (!assemble()) return say('The song has errors: mend them to download it.');
  try {
    download(window.sqn.renderWav(assembled, { ...renderOptions(), muted: mutedVoices() }),
      `${downloadName()}.wav`, 'audio/wav');
    say('');
  } catch (error) {
    say(error.message);
  }
}

// A voice a file, as sqn2wav --voices writes them, in one zip.
function downloadStems() {
  if (!assemble()) return say('The song has errors: mend them to download it.');
  try {
    const name = downloadName();
    const files = {};
    for (let voice = 0; voice < 6; ++voice) {
      const muted = [0, 1, 2, 3, 4, 5].map((other) => other !== voice);
      files[`${name}-voice${voice}.wav`] = window.sqn.renderWav(assembled, { ...renderOptions(), muted });
    }
    download(window.SqnZip.zipSync(files, { level: 0 }), `${name}-stems.zip`, 'application/zip');
    say('');
  } catch (error) {
    say(error.message);
  }
}

function setText(text, name, language = 'text') {
  editor.value = text;
  songName = name;
  savedText = text;
  languageMenu.value = language;
  editor.scrollToTop();
  if (assemble() && playing) startSong();
  save();
}

// Whether the text holds edits that were not loaded (an example, a file).
function unsaved() {
  return editor.value !== savedText;
}

// Before replacing the text: true to go on.
function mayReplace() {
  return !unsaved() || window.confirm('Replace the song you have written? Your changes will be lost.');
}

// Examples of the text form are listed by name, MML's with their ending.
async function loadExample(name, asked = false) {
  if (!asked && !mayReplace()) return false;
  const mml = name.endsWith('.mml');
  const response = await fetch(`examples/${mml ? name : `${name}.txt`}`);
  setText(await response.text(), name.replace(/\.mml$/, ''), mml ? 'mml' : 'text');
  return true;
}

async function openFile(file) {
  if (!mayReplace()) return;
  const name = file.name.replace(/\.(sqn|txt|mml|midi?)$/i, '');
  if (/\.midi?$/i.test(file.name)) {
    try {
      setText(await window.sqn.importMidi(new Uint8Array(await file.arrayBuffer())), name);
      say(`${file.name} is imported as mid2sqn imports it.`);
    } catch (error) {
      say(error.message);
    }
  } else if (/\.sqn$/i.test(file.name)) {
    setText(window.sqn.disassemble(new Uint8Array(await file.arrayBuffer())), name);
  } else {
    setText(await file.text(), name, /\.mml$/i.test(file.name) ? 'mml' : 'text');
  }
}

// The text as it is typed, kept in the browser for the next visit, and in
// the address, compressed, so that a link is the song.
function save() {
  try {
    localStorage.setItem(kStorageKey, JSON.stringify({
      text: editor.value, language: languageMenu.value, name: songName, saved: savedText,
    }));
  } catch { /* storage full or refused: the link still holds the song */ }
  clearTimeout(linkTimer);
  linkTimer = setTimeout(updateLink, 300);
}

function base64url(bytes) {
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(binary).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

function fromBase64url(text) {
  const binary = atob(text.replace(/-/g, '+').replace(/_/g, '/'));
  return Uint8Array.from(binary, (c) => c.charCodeAt(0));
}

async function transform(bytes, stream) {
  return new Uint8Array(await new Response(new Blob([bytes]).stream().pipeThrough(stream)).arrayBuffer());
}

async function updateLink() {
  const text = editor.value;
  const packed = await transform(new TextEncoder().encode(text), new CompressionStream('deflate'));
  const url = new URL(location.href);
  if (packed.length > kMaxLinkBytes) {
    url.hash = '';
    history.replaceState(null, '', url);
    window.sqnPage.linkTooLong = packed.length;
    return;
  }
  window.sqnPage.linkTooLong = 0;
  url.hash = `${languageMenu.value}=${base64url(packed)}`;
  history.replaceState(null, '', url);
  window.sqnPage.linkText = text;  // the text the address holds now
  window.sqnPage.linkUpdated = (window.sqnPage.linkUpdated || 0) + 1;
}

async function copyLink() {
  await updateLink();
  if (window.sqnPage.linkTooLong) {
    say(`The song is too long for a link (${Math.ceil(window.sqnPage.linkTooLong / 1024)} KB compressed, ` +
      `${kMaxLinkBytes / 1024} KB at most): download it instead.`);
    return;
  }
  try {
    await navigator.clipboard.writeText(location.href);
    say('The link is copied: it holds the whole song.');
  } catch {
    say('The address bar holds the link to this song.');
  }
}

// The bytes `packed` inflates to, or null past `limit` of them: a link of a
// few kilobytes can inflate to gigabytes, so the stream is cut there.
async function inflateAtMost(packed, limit) {
  const reader = new Blob([packed]).stream().pipeThrough(new DecompressionStream('deflate')).getReader();
  const chunks = [];
  let total = 0;
  for (;;) {
    const { done, value } = await reader.read();
    if (done) break;
    total += value.length;
    if (total > limit) {
      await reader.cancel();
      return null;
    }
    chunks.push(value);
  }
  const bytes = new Uint8Array(total);
  let at = 0;
  for (const chunk of chunks) {
    bytes.set(chunk, at);
    at += chunk.length;
  }
  return bytes;
}

// The song a link holds ({tooLong: true} where it inflates past
// kMaxLinkText), or nothing.
async function songFromLink() {
  const match = /^#(text|mml)=([A-Za-z0-9_-]+)$/.exec(location.hash);
  if (!match) return null;
  try {
    const bytes = await inflateAtMost(fromBase64url(match[2]), kMaxLinkText);
    if (!bytes) return { tooLong: true };
    return { text: new TextDecoder().decode(bytes), language: match[1] };
  } catch {
    return null;
  }
}

// The lanes: a lane a voice (0–3 the waveforms, 4 and 5 the hits), each note
// a bar at its pitch and length, the looped part marked. Drawn once a song,
// aside, so that the playhead can move every animation frame over a copy.
const lanesPicture = document.createElement('canvas');
function drawLanes() {
  lanesPicture.width = lanes.width;
  lanesPicture.height = lanes.height;
  const graphics = lanesPicture.getContext('2d');
  const { width, height } = lanesPicture;
  graphics.clearRect(0, 0, width, height);
  if (songMap && songMap.end > 0) {
    const lane = height / 6;
    const x = (frame) => (frame / songMap.end) * width;
    if (songMap.loop >= 0) {
      graphics.fillStyle = '#1c2230';
      graphics.fillRect(x(songMap.loop), 0, width - x(songMap.loop), height);
    }
    graphics.strokeStyle = '#2c3038';
    for (let v = 1; v < 6; ++v) {
      graphics.beginPath();
      graphics.moveTo(0, v * lane);
      graphics.lineTo(width, v * lane);
      graphics.stroke();
    }
    // Bar lines, and beats where they stand apart; the cues by name.
    if (songMusic) {
      const beatsApart = songMusic.beats.length > 1 ? width / songMusic.beats.length : width;
      for (const [frame, , beat] of songMusic.beats) {
        if (beat !== 1 && beatsApart < 8) continue;
        graphics.fillStyle = beat === 1 ? '#3a4150' : '#262b34';
        graphics.fillRect(Math.floor(x(frame)), 0, 1, height);
      }
      graphics.font = '10px sans-serif';
      graphics.fillStyle = '#c792ea';
      for (const [frame, index] of songMusic.passed) {
        graphics.fillRect(Math.floor(x(frame)), 0, 1, height);
        graphics.fillText(songMusic.cues[index] || '', Math.floor(x(frame)) + 3, height - 3);
      }
    }
    const muted = mutedVoices();
    graphics.font = '10px sans-serif';
    for (let v = 0; v < 6; ++v) {
      const state = voiceStates[v];
      graphics.fillStyle = state === 'solo' ? '#ffcb6b' : state === 'muted' ? '#ff6c6c' : '#5c626e';
      const label = `${state === 'solo' ? 'S ' : state === 'muted' ? 'M ' : ''}${v}`;
      graphics.fillText(label, width - 6 - graphics.measureText(label).width, v * lane + 11);
    }
    for (const note of songMap.notes) {
      graphics.fillStyle = muted[note.voice] ? '#3a3f48' : note.voice < 4 ? '#6cc4ff' : '#ffb86c';
      const y = (note.voice + 1) * lane - 3 - ((lane - 6) * note.pitch) / 80;
      graphics.fillRect(x(note.frame), y - 1, Math.max(2, x(note.frame + note.length) - x(note.frame)), 3);
    }
  }
  showLanes();
}

// The lanes with the playhead where the song is heard.
function showLanes() {
  const graphics = lanes.getContext('2d');
  const { width, height } = lanes;
  graphics.clearRect(0, 0, width, height);
  graphics.drawImage(lanesPicture, 0, 0);
  if (!playing || reports.length === 0 || !songMap || songMap.end <= 0) {
    if (!rollPanel.hidden) roll.setPlayhead(-1);
    return;
  }
  const frame = songFrame(heardFrames(), audio.context.sampleRate);
  if (!rollPanel.hidden && songMusic) roll.setPlayhead(beatAtFrame(frame));
  graphics.fillStyle = '#ffffff';
  graphics.fillRect(Math.min(width - 2, (frame / songMap.end) * width), 0, 2, height);
}

// Where the voice numbers are: the lanes' right end, in CSS pixels.
const kVoiceNumbers = 28;

// A click on a voice's number mutes it, a second solos it, a third hears
// it again; a click elsewhere on the lanes plays from that point.
function playFromLanes(event) {
  if (!songMap || songMap.end <= 0) return;
  const box = lanes.getBoundingClientRect();
  if (event.clientX > box.right - kVoiceNumbers) {
    const voice = Math.min(5, Math.max(0, Math.floor(((event.clientY - box.top) / box.height) * 6)));
    toggleVoice(voice);
    return;
  }
  play(Math.floor(((event.clientX - box.left) / box.width) * songMap.end));
}

function toggleVoice(voice) {
  const next = { '': 'muted', muted: 'solo', solo: '' };
  voiceStates[voice] = next[voiceStates[voice]];
  if (audio) audio.node.port.postMessage({ muted: mutedVoices() });
  drawLanes();
  const said = { '': 'heard', muted: 'muted', solo: 'soloed' };
  say(`Voice ${voice} ${said[voiceStates[voice]]}.`);
}

// Space plays and pauses (but types a space in the editor), Ctrl or Cmd
// with Enter plays from the start, Escape stops.
function onKey(event) {
  const inText = editor.contains(event.target) || event.target instanceof HTMLInputElement;
  if ((event.ctrlKey || event.metaKey) && event.key === 'Enter') {
    event.preventDefault();
    play(0);
  } else if (event.key === 'Escape') {
    stop();
  } else if (event.key === ' ' && !inText && !(event.target instanceof HTMLButtonElement)) {
    event.preventDefault();
    if (playing) togglePause(); else play(0);
  }
}

async function start() {
  await window.sqnReady;
  const names = await (await fetch('examples/list.json')).json();
  const menu = $('examples');
  for (const name of names) menu.append(new Option(name, name));
  let shown = names[0];
  menu.addEventListener('change', async () => {
    if (await loadExample(menu.value)) shown = menu.value; else menu.value = shown;
  });
  // A link's song first, then the last visit's text, then the demo.
  const linked = await songFromLink();
  let stored = null;
  try { stored = JSON.parse(localStorage.getItem(kStorageKey) || 'null'); } catch { stored = null; }
  if (linked && !linked.tooLong) {
    setText(linked.text, 'song', linked.language);
    savedText = '';
  } else if (stored && typeof stored.text === 'string') {
    setText(stored.text, stored.name || 'song', stored.language === 'mml' ? 'mml' : 'text');
    savedText = typeof stored.saved === 'string' ? stored.saved : '';
  } else {
    await loadExample(names[0], true);
  }
  if (linked && linked.tooLong) {
    say(`The song in this link is longer than ${kMaxLinkText >> 20} MiB of text, more than a song can be: ` +
      'it was not opened.');
  }

  $('song').addEventListener('input', onEdit);
  languageMenu.addEventListener('change', () => {
    if (assemble() && playing) startSong();
    save();
  });
  songMenu.addEventListener('change', () => {
    if (assemble() && playing) startSong();
  });
  document.addEventListener('keydown', onKey);
  playButton.addEventListener('click', () => play(0));
  pauseButton.addEventListener('click', togglePause);
  stopButton.addEventListener('click', stop);
  lanes.addEventListener('click', playFromLanes);
  $('copy-link').addEventListener('click', copyLink);
  loopBox.addEventListener('change', () => {
    if (audio) audio.node.port.postMessage({ looping: loopBox.checked });
  });
  $('download-sqn').addEventListener('click', downloadSqn);
  $('download-wav').addEventListener('click', downloadWav);
  $('download-stems').addEventListener('click', downloadStems);
  $('open').addEventListener('change', (event) => {
    const [file] = event.target.files;
    // Cleared, so that the same file can be opened again.
    event.target.value = '';
    if (file) openFile(file);
  });
  document.body.dataset.ready = 'true';
}

start().catch((error) => say(`The page could not start: ${error.message}`));
