// The playground: the song's text (the text form or MML) in an editor,
// assembled or compiled as it is typed,
// played through an audio worklet, downloaded as .sqn or as sqn2wav's .wav.
'use strict';

const $ = (id) => document.getElementById(id);
const editor = $('song');
const gutter = $('gutter');
const errorList = $('errors');
const message = $('message');
const playButton = $('play');
const stopButton = $('stop');
const loopBox = $('loop');
const position = $('position');
const scope = $('scope');

let songName = 'demo';
const languageMenu = $('language');  // 'text' (the text form) or 'mml'
let audio = null;      // {context, node, analyser} once Play was first pressed
let playing = false;
let assembled = null;  // the text's bytes, or null while it has errors
let editTimer = 0;

// For scripts and tests: the audio clock and its state.
window.sqnPage = {
  audioTime: () => (audio ? audio.context.currentTime : 0),
  audioState: () => (audio ? audio.context.state : 'none'),
};

function say(text) {
  message.textContent = text;
}

let lineCount = 1;          // lines of the text, counted once an edit
let errorLines = new Set();  // lines with an error, marked in the gutter

function countLines(text) {
  let lines = 1;
  for (let at = text.indexOf('\n'); at !== -1; at = text.indexOf('\n', at + 1)) ++lines;
  return lines;
}

// Line numbers beside the text, the lines with errors marked. Only the
// lines in view are drawn, so that a text of a million lines scrolls and
// takes keystrokes as a short one does (lines never wrap: each is one line
// high).
function drawGutter() {
  const lineHeight = parseFloat(getComputedStyle(editor).lineHeight) || 19;
  const first = Math.floor(editor.scrollTop / lineHeight);
  const last = Math.min(lineCount, first + Math.ceil(editor.clientHeight / lineHeight) + 2);
  const parts = [];
  for (let line = first + 1; line <= last; ++line) {
    parts.push(errorLines.has(line) ? `<span class="error">${line}</span>` : String(line));
  }
  const shift = first * lineHeight - editor.scrollTop;
  gutter.innerHTML = `<div style="transform: translateY(${shift}px)">${parts.join('\n')}</div>`;
}

// Puts the cursor at a line and column of the text.
function goTo(line, column) {
  const text = editor.value;
  let at = 0;
  for (let i = 1; i < line; ++i) {
    const next = text.indexOf('\n', at);
    if (next === -1) break;
    at = next + 1;
  }
  // Columns count bytes; close enough for the ASCII the form is written in.
  at += column - 1;
  editor.focus();
  editor.setSelectionRange(at, at);
}

// Assembles the text, shows its errors, and hands a changed song to the
// worklet while it plays.
function assemble() {
  const text = editor.value;
  const result = languageMenu.value === 'mml' ? window.sqn.compileMml(text) : window.sqn.assemble(text);
  errorList.replaceChildren();
  errorLines = new Set();
  lineCount = countLines(text);
  if (result.errors) {
    assembled = null;
    // The first hundred, then how many more: the module counts the rest.
    for (const error of result.errors) {
      const item = document.createElement('li');
      if (error.line === 0) {
        item.textContent = error.message;
      } else {
        item.textContent = `${error.line}:${error.column}: ${error.message}`;
        item.addEventListener('click', () => goTo(error.line, error.column));
        errorLines.add(error.line);
      }
      errorList.append(item);
    }
  } else {
    assembled = result.bytes;
  }
  drawGutter();
  return assembled;
}

function onEdit() {
  clearTimeout(editTimer);
  editTimer = setTimeout(() => {
    if (assemble() && playing) startSong();
  }, 250);
}

async function setUpAudio() {
  const context = new AudioContext({ latencyHint: 'interactive' });
  await context.audioWorklet.addModule('worklet.js');
  const node = new AudioWorkletNode(context, 'sqn-player', { outputChannelCount: [2] });
  const analyser = context.createAnalyser();
  analyser.fftSize = 2048;
  node.connect(analyser);
  analyser.connect(context.destination);
  node.port.postMessage({ module: window.sqn.wasmModule });
  node.port.onmessage = (event) => {
    const status = event.data;
    if (status.ended) {
      stop();
      say('The song has ended.');
      return;
    }
    const seconds = status.frames / context.sampleRate;
    const minutes = Math.floor(seconds / 60);
    position.value = `${minutes}:${(seconds - 60 * minutes).toFixed(1).padStart(4, '0')}` +
      ` · pass ${status.pass + 1} · event ${status.position} of ${status.events}`;
  };
  return { context, node, analyser };
}

function startSong() {
  audio.node.port.postMessage({ song: assembled, looping: loopBox.checked });
}

async function play() {
  if (!assemble()) {
    say('The song has errors: play starts once they are mended.');
    return;
  }
  if (!audio) audio = await setUpAudio();
  startSong();
  await audio.context.resume();
  playing = true;
  playButton.disabled = true;
  stopButton.disabled = false;
  say(`Playing at ${audio.context.sampleRate} Hz.`);
  requestAnimationFrame(drawScope);
}

async function stop() {
  if (!audio) return;
  audio.node.port.postMessage({ stop: true });
  await audio.context.suspend();
  playing = false;
  playButton.disabled = false;
  stopButton.disabled = true;
  say('');
}

// The waveform of what plays, from the analyser after the worklet.
function drawScope() {
  const graphics = scope.getContext('2d');
  const { width, height } = scope;
  graphics.clearRect(0, 0, width, height);
  if (!playing) return;
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
  requestAnimationFrame(drawScope);
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

function downloadSqn() {
  if (!assemble()) return say('The song has errors: mend them to download it.');
  download(assembled, `${songName}.sqn`, 'application/octet-stream');
}

function downloadWav() {
  if (!assemble()) return say('The song has errors: mend them to download it.');
  try {
    download(window.sqn.renderWav(assembled), `${songName}.wav`, 'audio/wav');
    say('');
  } catch (error) {
    say(error.message);
  }
}

function setText(text, name, language = 'text') {
  editor.value = text;
  songName = name;
  languageMenu.value = language;
  editor.scrollTop = 0;
  if (assemble() && playing) startSong();
}

// Examples of the text form are listed by name, MML's with their ending.
async function loadExample(name) {
  const mml = name.endsWith('.mml');
  const response = await fetch(`examples/${mml ? name : `${name}.txt`}`);
  setText(await response.text(), name.replace(/\.mml$/, ''), mml ? 'mml' : 'text');
}

async function openFile(file) {
  const name = file.name.replace(/\.(sqn|txt|mml)$/i, '');
  if (/\.sqn$/i.test(file.name)) {
    setText(window.sqn.disassemble(new Uint8Array(await file.arrayBuffer())), name);
  } else {
    setText(await file.text(), name, /\.mml$/i.test(file.name) ? 'mml' : 'text');
  }
}

async function start() {
  await window.sqnReady;
  const names = await (await fetch('examples/list.json')).json();
  const menu = $('examples');
  for (const name of names) menu.append(new Option(name, name));
  menu.addEventListener('change', () => loadExample(menu.value));
  await loadExample(names[0]);

  editor.addEventListener('input', onEdit);
  languageMenu.addEventListener('change', () => {
    if (assemble() && playing) startSong();
  });
  editor.addEventListener('scroll', drawGutter);
  window.addEventListener('resize', drawGutter);
  playButton.addEventListener('click', play);
  stopButton.addEventListener('click', stop);
  loopBox.addEventListener('change', () => {
    if (audio) audio.node.port.postMessage({ looping: loopBox.checked });
  });
  $('download-sqn').addEventListener('click', downloadSqn);
  $('download-wav').addEventListener('click', downloadWav);
  $('open').addEventListener('change', (event) => {
    if (event.target.files.length > 0) openFile(event.target.files[0]);
  });
  document.body.dataset.ready = 'true';
}

start().catch((error) => say(`The page could not start: ${error.message}`));
