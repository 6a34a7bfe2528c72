// The playground: the song's text (the text form or MML) in an editor,
// assembled or compiled as it is typed, played through an audio worklet,
// drawn in the lanes and (MML) the piano roll, downloaded as .sqn or as
// sqn2wav's .wav. This file ties the parts together; each has its own.

import { createDownloads } from './downloads.js';
import { createInstruments } from './instruments.js';
import { createLanes } from './lanes.js';
import { createLinks } from './links.js';
import { createRoll } from './roll.js';
import { createTransport } from './transport.js';

const $ = (id) => document.getElementById(id);
const message = $('message');
const errorList = $('errors');
const languageMenu = $('language');  // 'text' (the text form) or 'mml'
const songChoice = $('song-choice');
const songMenu = $('songs');
const rollPanel = $('roll-panel');

// What the parts share: the song as it stands and what plays.
const page = {
  // The editor (editor.js): the text, its highlighting, errors and the
  // line being played. `#song` also reads and takes the text as its `value`.
  editor: window.SqnEditor.create($('song')),
  songName: 'demo',
  savedText: '',         // the text as last loaded: edits past it are unsaved
  assembled: null,       // the text's bytes, or null while it has errors
  playingBytes: null,    // the bytes the worklet plays
  eventLines: new Uint32Array(0),  // the text line of each event
  songMap: null,         // {end, loop, rowsPerSecond, notes} for the lanes
  songMusic: null,       // {cues, loop, beats: [[frame, bar, beat]], passed: [[frame, cue]]}
  audio: null,           // {context, node, analyser} once Play was first pressed
  playing: false,
  paused: false,
  loopChoice: null,      // bars played round: {frames: [from, to] at 48000 Hz, bars}
  rounds: 0,             // times round them, as the worklet last told
  language: () => languageMenu.value,
  say(text) { message.textContent = text; },
  songTitle,
  assemble,
};
const { editor } = page;
const links = createLinks(page);
const lanes = createLanes(page, $('lanes'));
const transport = createTransport(page, $);
createDownloads(page, $);
page.mutedVoices = lanes.mutedVoices;
page.play = transport.play;
page.heardSongFrame = transport.heardSongFrame;
page.mutedChanged = () => {
  if (page.audio) page.audio.node.port.postMessage({ muted: lanes.mutedVoices() });
};
page.showPlayheads = () => {
  lanes.show();
  if (!rollPanel.hidden) roll.setPlayhead(page.playing && page.songMusic ? beatAtFrame(page.heardSongFrame()) : -1);
};
page.drawViews = () => {
  lanes.draw();
  if (!rollPanel.hidden) roll.draw();
};

// The piano roll and the instruments edit the MML text, which stays the song.
const chosenSong = () => (songMenu.value && !songChoice.hidden ? songMenu.value : '');
const roll = createRoll({
  canvas: $('roll'),
  status: $('roll-status'),
  lengthMenu: $('roll-length'),
  channelMenu: $('roll-channel'),
  spansOf: (text) => window.sqn.mmlSpans(text, chosenSong()),
  textOf: () => editor.value,
  edit: (text) => editor.replaceText(text),
  undo: () => editor.undo(),
  redo: () => editor.redo(),
  preview: previewNote,
  say: page.say,
  loopBeats,
  onChannel: (voice) => instruments.show(voice),
});
const instruments = createInstruments({
  panel: $('instruments'),
  textOf: () => editor.value,
  edit: (text) => editor.replaceText(text),
  say: page.say,
});
$('roll-zoom-in').addEventListener('click', () => roll.zoom(1.5));
$('roll-zoom-out').addEventListener('click', () => roll.zoom(1 / 1.5));

let previewContext = null;
// A note heard as it is entered: the channel's voice alone, rendered as
// sqn2wav would and played once.
async function previewNote(voice, pitch, beats) {
  const compiled = window.sqn.compileMml(`${'ABCDEF'[voice]} t120 n${pitch + 39},${beats >= 1 ? 4 : 8}\n`);
  if (!compiled.bytes) return;
  try {
    previewContext = previewContext || (page.audio ? page.audio.context : new AudioContext());
    if (previewContext.state === 'suspended' && !page.playing) await previewContext.resume();
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

// Beats from the song's start at a frame (48000 Hz), between the map's
// beats, for the roll's playhead.
function beatAtFrame(frame) {
  const { beats } = page.songMusic;
  if (frame < 0 || beats.length < 2) return -1;
  let low = 0;
  let high = beats.length;
  while (high - low > 1) {
    const middle = (low + high) >> 1;
    if (beats[middle][0] <= frame) low = middle; else high = middle;
  }
  const next = low + 1 < beats.length ? beats[low + 1][0] : 2 * beats[low][0] - beats[low - 1][0];
  return low + Math.min(1, Math.max(0, (frame - beats[low][0]) / Math.max(1, next - beats[low][0])));
}

// Bars chosen (in the lanes, by frames, or in the roll, by beats) are
// played round: from the bar line at or before the first to the one at or
// after the last.
function loopFrames(from, to) {
  const { songMusic, songMap } = page;
  if (!songMusic || !songMap) return;
  const bars = songMusic.beats.filter(([, , beat]) => beat === 1);
  if (bars.length === 0) return;
  let first = bars[0];
  for (const bar of bars) if (bar[0] <= from) first = bar;
  const last = bars.find((bar) => bar[0] >= to && bar[0] > first[0]);
  const end = last ? last[0] : songMap.end;
  const lastBar = last ? last[1] - 1 : bars[bars.length - 1][1];
  page.loopChoice = { frames: [first[0], end], bars: first[1] === lastBar ? `${first[1]}` : `${first[1]}–${lastBar}` };
  page.rounds = 0;
  page.drawViews();
  transport.play(first[0]);
}
page.loopFrames = loopFrames;
function loopBeats(from, to) {
  const { songMusic } = page;
  if (!songMusic || songMusic.beats.length === 0) return;
  const frameOf = (beat) => {
    const index = Math.max(0, Math.min(songMusic.beats.length - 1, Math.floor(beat)));
    return songMusic.beats[index][0];
  };
  loopFrames(frameOf(from), to >= songMusic.beats.length ? page.songMap.end : frameOf(to));
}

// For scripts and tests: the audio clock and its state, the song, the
// roll and the text.
window.sqnPage = {
  audioTime: () => (page.audio ? page.audio.context.currentTime : 0),
  audioState: () => (page.audio ? page.audio.context.state : 'none'),
  song: () => page.assembled,
  playingSong: () => page.playingBytes,
  rate: () => (page.audio ? page.audio.context.sampleRate : 0),
  map: () => page.songMap,
  music: () => page.songMusic,
  songs: () => Array.from(songMenu.options, (option) => option.value),
  position: () => $('position').value,
  playingLine: () => transport.playingLine,
  get startedFrom() { return transport.startedFrom; },
  get sentAt() { return page.sentAt || 0; },  // performance.now() when a song last went to the worklet
  goTo: (line, column) => editor.goTo(line, column),
  cursor: () => editor.cursor(),
  roll,
  instruments,
  loop: () => page.loopChoice && { ...page.loopChoice, rounds: page.rounds },
  text: () => editor.value,
  setText: (text) => editor.replaceText(String(text)),
};

// Assembles the text and shows its errors. What the lanes, the roll and
// the following of lines need is worked out at once, or (`later`, after an
// edit) once the new song has gone to the worklet, so that what is heard
// changes first.
let viewsWanted = 0;  // the last assembly whose views are to be drawn
function assemble(later = false) {
  const text = editor.value;
  const song = chooseSong(text);
  const mml = languageMenu.value === 'mml';
  const result = mml ? window.sqn.compileMmlWithLines(text, song) : window.sqn.assemble(text);
  window.sqnPage.assembledText = text;  // for tests: the text last assembled
  errorList.replaceChildren();
  editor.setLanguage(languageMenu.value);
  showTitle();
  if (result.errors) {
    page.assembled = null;
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
    page.assembled = result.bytes;
  }
  editor.setErrors(result.errors || []);
  const wanted = ++viewsWanted;
  const views = () => {
    if (wanted !== viewsWanted) return;  // a later edit draws its own
    if (result.bytes) {
      page.eventLines = mml ? result.lines : window.sqn.eventLines(text, false);
      try { page.songMap = window.sqn.songMap(result.bytes); } catch { page.songMap = null; }
      try { page.songMusic = window.sqn.songMusic(result.bytes); } catch { page.songMusic = null; }
    }
    lanes.draw();
    rollPanel.hidden = !mml;
    if (mml) {
      const meter = /^#meter[ \t]+(\d+)/m.exec(text);
      roll.setMeter(meter ? Number(meter[1]) : 4);
      roll.refresh();
      instruments.show(roll.voice);
    }
  };
  if (later) setTimeout(views, 0); else views();
  return page.assembled;
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
// nothing that is heard. A pause in typing this long (ms) compiles: short,
// so that what plays follows the text at once.
const kEditPause = 40;
let editTimer = 0;
function onEdit() {
  clearTimeout(editTimer);
  editTimer = setTimeout(() => {
    const bytes = assemble(true);
    if (bytes && page.playing && !sameBytes(bytes, page.playingBytes)) {
      transport.startSong(Math.round(transport.renderedFrames()));
    }
    links.save();
  }, kEditPause);
}

// The song's #title (MML), as written, or nothing.
function songTitle() {
  if (languageMenu.value !== 'mml') return '';
  const match = /^[ \t]*#title[ \t]+"([^"\n]*)"/m.exec(editor.value);
  return match ? match[1].trim() : '';
}

function showTitle() {
  const title = songTitle();
  document.title = title ? `${title} · sqn playground` : 'sqn playground';
}

function setText(text, name, language = 'text') {
  editor.value = text;
  page.songName = name;
  page.savedText = text;
  languageMenu.value = language;
  page.loopChoice = null;
  editor.scrollToTop();
  if (assemble() && page.playing) transport.startSong();
  links.save();
}

// Before replacing the text: true to go on.
function mayReplace() {
  return editor.value === page.savedText ||
    window.confirm('Replace the song you have written? Your changes will be lost.');
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
      page.say(`${file.name} is imported as mid2sqn imports it.`);
    } catch (error) {
      page.say(error.message);
    }
  } else if (/\.sqn$/i.test(file.name)) {
    setText(window.sqn.disassemble(new Uint8Array(await file.arrayBuffer())), name);
  } else {
    setText(await file.text(), name, /\.mml$/i.test(file.name) ? 'mml' : 'text');
  }
}

// Space plays and pauses (but types a space in the editor and the roll),
// Ctrl or Cmd with Enter plays from the start, Escape stops.
function onKey(event) {
  const inText = editor.contains(event.target) || event.target instanceof HTMLInputElement;
  if ((event.ctrlKey || event.metaKey) && event.key === 'Enter') {
    event.preventDefault();
    transport.play(0);
  } else if (event.key === 'Escape') {
    transport.stop();
  } else if (event.key === ' ' && !inText && !(event.target instanceof HTMLButtonElement)) {
    event.preventDefault();
    if (page.playing) transport.togglePause(); else transport.play(0);
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
  const linked = await links.songFromLink();
  const stored = links.stored();
  if (linked && !linked.tooLong) {
    setText(linked.text, 'song', linked.language);
    page.savedText = '';
  } else if (stored && typeof stored.text === 'string') {
    setText(stored.text, stored.name || 'song', stored.language === 'mml' ? 'mml' : 'text');
    page.savedText = typeof stored.saved === 'string' ? stored.saved : '';
  } else {
    await loadExample(names[0], true);
  }
  if (linked && linked.tooLong) {
    page.say(`The song in this link is longer than ${links.maxLinkText >> 20} MiB of text, more than a song can be: ` +
      'it was not opened.');
  }

  $('song').addEventListener('input', onEdit);
  languageMenu.addEventListener('change', () => {
    if (assemble() && page.playing) transport.startSong();
    links.save();
  });
  songMenu.addEventListener('change', () => {
    if (assemble() && page.playing) transport.startSong();
  });
  document.addEventListener('keydown', onKey);
  $('copy-link').addEventListener('click', links.copyLink);
  $('open').addEventListener('change', (event) => {
    const [file] = event.target.files;
    // Cleared, so that the same file can be opened again.
    event.target.value = '';
    if (file) openFile(file);
  });
  document.body.dataset.ready = 'true';
}

start().catch((error) => page.say(`The page could not start: ${error.message}`));
