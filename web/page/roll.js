// The piano roll: one MML channel's notes as bars on pitch rows (a
// keyboard at the side, octaves marked), time in beats with the song's
// bars, the other channels faint behind. Clicks, drags and keys edit the
// MML text through mml-edit.js; the text stays the song.

import { addNote, channelSpans, kChannels, lengthText, nameOfPitch, pitchOfName, removeNote, repitchNote,
  resizeNote } from './mml-edit.js';

const kKeys = 40;        // CSS pixels: the keyboard at the left
const kRuler = 18;       // CSS pixels: the time ruler at the top
const kRow = 10;         // CSS pixels a semitone
const kPitches = 81;     // D#2 … B8
const kEdge = 5;         // CSS pixels: a note's end, where a drag changes its length
// Two rows of the computer keyboard as a piano: the lower from C, the
// upper an octave above.
const kPianoKeys = 'zsxdcvgbhnjmq2w3er5t6y7ui';

export function createRoll({ canvas, status, lengthMenu, channelMenu, spansOf, textOf, edit, undo, redo, preview, say,
  loopBeats, onChannel }) {
  const state = {
    voice: 0,
    all: { failed: false, unitsPerBeat: 3072, spans: [] },
    spans: [],            // the chosen channel's, with their tokens
    beatsPerBar: 4,
    pixelsPerBeat: 32,
    firstBeat: 0,         // the beat at the roll's left edge
    lowPitch: 21,         // the pitch of the lowest row shown (C4 is 21)
    cursor: 0,            // beats: where keys enter notes
    selected: new Set(),  // spans' places, "line:column"
    clipboard: [],        // [{offset, pitch, length}] in units
    playhead: -1,         // beats, or -1
    keyOctave: 4,         // the octave the lower row of piano keys starts (Page Up and Down move it)
  };
  const graphics = canvas.getContext('2d');
  const key = (span) => `${span.line}:${span.column}`;
  const rows = () => Math.floor((canvas.clientHeight - kRuler) / kRow);
  const perBeat = () => state.all.unitsPerBeat;

  // The chosen length in units: 1 … 32, dotted, or a triplet's.
  function chosenLength() {
    const [n, kind] = lengthMenu.value.split(':');
    const base = (4 * perBeat()) / Number(n);
    return Math.round(kind === 'dot' ? base * 1.5 : kind === 'triplet' ? (base * 2) / 3 : base);
  }
  const gridBeats = () => chosenLength() / perBeat();

  const xOf = (beat) => kKeys + (beat - state.firstBeat) * state.pixelsPerBeat;
  const yOf = (pitch) => kRuler + (rows() - 1 - (pitch - state.lowPitch)) * kRow;
  const beatAt = (x) => state.firstBeat + (x - kKeys) / state.pixelsPerBeat;
  const pitchAt = (y) => state.lowPitch + rows() - 1 - Math.floor((y - kRuler) / kRow);
  const local = (event) => {
    const box = canvas.getBoundingClientRect();
    return { x: event.clientX - box.left, y: event.clientY - box.top };
  };
  const snap = (beat) => Math.max(0, Math.floor(beat / gridBeats() + 1e-9) * gridBeats());

  function refresh() {
    const text = textOf();
    state.all = spansOf(text);
    state.spans = channelSpans(text, state.all, state.voice);
    const places = new Set(state.spans.map(key));
    for (const place of state.selected) if (!places.has(place)) state.selected.delete(place);
    draw();
  }

  // Keeps `beat` and `pitch` in view.
  function show(beat, pitch) {
    const width = (canvas.clientWidth - kKeys) / state.pixelsPerBeat;
    if (beat < state.firstBeat || beat >= state.firstBeat + width - gridBeats()) {
      state.firstBeat = Math.max(0, beat - width / 4);
    }
    if (pitch !== undefined && (pitch < state.lowPitch || pitch >= state.lowPitch + rows())) {
      state.lowPitch = Math.max(0, Math.min(kPitches - rows(), pitch - Math.floor(rows() / 2)));
    }
  }

  function fit() {
    const ratio = window.devicePixelRatio || 1;
    const width = Math.round(canvas.clientWidth * ratio);
    const height = Math.round(canvas.clientHeight * ratio);
    if (canvas.width !== width || canvas.height !== height) {
      canvas.width = width;
      canvas.height = height;
    }
    graphics.setTransform(ratio, 0, 0, ratio, 0, 0);
  }

  function draw() {
    fit();
    const width = canvas.clientWidth;
    const height = canvas.clientHeight;
    graphics.fillStyle = '#101318';
    graphics.fillRect(0, 0, width, height);
    const shown = rows();
    for (let row = 0; row < shown; ++row) {
      const pitch = state.lowPitch + row;
      const name = nameOfPitch(pitch);
      const black = name.includes('#');
      graphics.fillStyle = black ? '#161a21' : '#1b2029';
      graphics.fillRect(kKeys, yOf(pitch), width - kKeys, kRow);
      graphics.fillStyle = black ? '#333' : '#ddd';
      graphics.fillRect(0, yOf(pitch), kKeys - 2, kRow - 1);
      if (name.startsWith('C') && !black) {
        graphics.fillStyle = '#111';
        graphics.font = '9px sans-serif';
        graphics.fillText(name, 3, yOf(pitch) + kRow - 2);
        graphics.fillStyle = '#3a4150';
        graphics.fillRect(kKeys, yOf(pitch) + kRow - 1, width - kKeys, 1);
      }
    }
    // Beats and bars, numbered on the ruler (beats only where they stand apart).
    const lastBeat = beatAt(width);
    graphics.font = '10px sans-serif';
    const barsApart = state.pixelsPerBeat * state.beatsPerBar;
    const barStep = Math.max(1, 2 ** Math.ceil(Math.log2(40 / barsApart)));  // numbers 40 px apart at least
    for (let beat = Math.floor(state.firstBeat); beat <= lastBeat; ++beat) {
      const bar = beat % state.beatsPerBar === 0;
      if (!bar && state.pixelsPerBeat < 4) continue;
      graphics.fillStyle = bar ? '#3a4150' : '#232833';
      graphics.fillRect(Math.floor(xOf(beat)), kRuler, 1, height - kRuler);
      const number = beat / state.beatsPerBar;
      if (bar && number % barStep === 0) {
        graphics.fillStyle = '#8a93a6';
        graphics.fillText(String(number + 1), xOf(beat) + 2, 12);
      }
    }
    // The other channels, faint; then the chosen one: a path a colour,
    // filled once, so that a whole song in view draws within a frame.
    const paths = new Map();
    const bar = (span, colour) => {
      if (span.pitch < state.lowPitch || span.pitch >= state.lowPitch + shown) return;
      const end = xOf((span.start + span.length) / perBeat());
      if (end < kKeys) return;
      const x = Math.max(kKeys, xOf(span.start / perBeat()));
      if (x > width) return;
      if (!paths.has(colour)) paths.set(colour, new Path2D());
      paths.get(colour).rect(x, yOf(span.pitch) + 1, Math.max(2, end - x - 1), kRow - 2);
    };
    for (const span of state.all.spans) {
      if (span.voice !== state.voice && span.pitch >= 0) bar(span, '#2a3a4a');
    }
    for (const span of state.spans) {
      if (span.pitch < 0) continue;
      bar(span, state.selected.has(key(span)) ? '#ffcb6b' : span.uses > 1 ? '#8fd18f' : '#6cc4ff');
    }
    for (const [colour, path] of paths) {
      graphics.fillStyle = colour;
      graphics.fill(path);
    }
    graphics.fillStyle = '#c792ea';
    graphics.fillRect(xOf(state.cursor) - 1, 0, 2, height);
    if (state.playhead >= 0) {
      graphics.fillStyle = '#ffffff';
      graphics.fillRect(xOf(state.playhead), 0, 2, height);
    }
    graphics.fillStyle = '#101318';
    graphics.fillRect(0, 0, kKeys, kRuler);
  }

  function apply(result, what) {
    if (result.error) {
      say(result.error);
      return false;
    }
    edit(result.text);
    refresh();
    say(result.uses > 1 ? `${what}: in a phrase or repeat, so every one of its ${result.uses} uses changes.` : `${what}.`);
    return true;
  }

  function spanAt(x, y) {
    const beat = beatAt(x);
    const pitch = pitchAt(y);
    return state.spans.find((span) => span.pitch === pitch && span.start / perBeat() <= beat &&
      beat < (span.start + span.length) / perBeat());
  }

  function describe(span) {
    const beat = span ? span.start / perBeat() : state.cursor;
    const place = `bar ${Math.floor(beat / state.beatsPerBar) + 1}, beat ${Math.floor(beat % state.beatsPerBar) + 1}`;
    if (!span) {
      // The note under the cursor, where there is one.
      const under = state.spans.find((s) => s.pitch >= 0 && s.start / perBeat() <= beat &&
        beat < (s.start + s.length) / perBeat());
      return under ? `Cursor at ${place}: ${describe(under)}` : `Cursor at ${place}.`;
    }
    return `${nameOfPitch(span.pitch)}, ${place}, length ${lengthText(span.length, perBeat()) || span.length}` +
      `${span.uses > 1 ? `, one of ${span.uses} uses` : ''}.`;
  }
  function announce(text) {
    status.textContent = text;
  }

  function addAt(beat, pitch) {
    const text = textOf();
    const done = apply(addNote(text, state.all, state.voice, Math.round(beat * perBeat()), pitch, chosenLength()),
      `${nameOfPitch(pitch)} added`);
    if (done) preview(state.voice, pitch, chosenLength() / perBeat());
    return done;
  }

  // Dragging: a note's body moves it, its end changes its length.
  let drag = null;
  canvas.addEventListener('pointerdown', (event) => {
    canvas.focus();
    if (event.button !== 0) return;
    const { x, y } = local(event);
    if (y < kRuler) {
      // A click on the ruler places the cursor; a drag along it plays those bars round.
      drag = { ruler: true, x, beat: beatAt(x) };
      canvas.setPointerCapture(event.pointerId);
      return;
    }
    if (x < kKeys) {
      preview(state.voice, pitchAt(y), 0.5);
      return;
    }
    const span = spanAt(x, y) || spanAt(x - kEdge, y);
    if (!span) {
      state.selected.clear();
      addAt(snap(beatAt(x)), pitchAt(y));
      return;
    }
    if (event.shiftKey) {
      if (state.selected.has(key(span))) state.selected.delete(key(span)); else state.selected.add(key(span));
    } else if (!state.selected.has(key(span))) {
      state.selected = new Set([key(span)]);
    }
    const end = xOf((span.start + span.length) / perBeat());
    drag = { span, x, y, resize: end - x <= kEdge };
    canvas.setPointerCapture(event.pointerId);
    announce(describe(span));
    draw();
  });
  canvas.addEventListener('pointerup', (event) => {
    if (!drag) return;
    const { x, y } = local(event);
    if (drag.ruler) {
      const from = drag;
      drag = null;
      if (Math.abs(x - from.x) < 6) {
        cursorTo(snap(from.beat));
      } else {
        loopBeats(Math.min(from.beat, beatAt(x)), Math.max(from.beat, beatAt(x)));
      }
      return;
    }
    const { span } = drag;
    const text = textOf();
    if (drag.resize) {
      const length = Math.round(Math.max(gridBeats(), snap(beatAt(x) - span.start / perBeat() + gridBeats() / 2)) * perBeat());
      if (length !== span.length) apply(resizeNote(text, state.all, state.voice, span, length), 'Length changed');
    } else {
      const pitch = pitchAt(y);
      const beats = Math.round((x - drag.x) / state.pixelsPerBeat / gridBeats()) * gridBeats();
      if (beats !== 0) {
        moveNote(span, Math.round(span.start + beats * perBeat()), pitch);
      } else if (pitch !== span.pitch) {
        if (apply(repitchNote(text, state.all, state.voice, span, pitch), `Moved to ${nameOfPitch(pitch)}`)) {
          preview(state.voice, pitch, span.length / perBeat());
        }
      }
    }
    drag = null;
  });
  canvas.addEventListener('contextmenu', (event) => {
    event.preventDefault();
    const { x, y } = local(event);
    const span = spanAt(x, y);
    if (span) apply(removeNote(textOf(), state.all, state.voice, span), `${nameOfPitch(span.pitch)} removed`);
  });

  // A move is a removal and an addition: one edit of the text.
  function moveNote(span, start, pitch) {
    const removed = removeNote(textOf(), state.all, state.voice, span);
    if (removed.error) return say(removed.error);
    const added = addNote(removed.text, spansOf(removed.text), state.voice, Math.max(0, start), pitch, span.length);
    return apply(added.error ? added : { text: added.text, uses: removed.uses }, `Moved to ${nameOfPitch(pitch)}`);
  }

  canvas.addEventListener('wheel', (event) => {
    event.preventDefault();
    if (event.ctrlKey || event.metaKey) {
      zoom(event.deltaY < 0 ? 1.25 : 0.8, local(event).x);
    } else if (event.shiftKey || Math.abs(event.deltaX) > Math.abs(event.deltaY)) {
      state.firstBeat = Math.max(0, state.firstBeat + (event.deltaX || event.deltaY) / state.pixelsPerBeat);
    } else {
      state.lowPitch = Math.max(0, Math.min(kPitches - rows(), state.lowPitch - Math.sign(event.deltaY) * 2));
    }
    draw();
  }, { passive: false });

  // Pinching (two pointers) zooms as Ctrl+wheel does.
  const touches = new Map();
  canvas.addEventListener('pointermove', (event) => {
    if (event.pointerType !== 'touch' || !touches.has(event.pointerId)) return;
    const before = [...touches.values()];
    touches.set(event.pointerId, event.clientX);
    if (touches.size === 2) {
      const after = [...touches.values()];
      const apart = Math.abs(before[0] - before[1]);
      if (apart > 0) zoom(Math.abs(after[0] - after[1]) / apart, local(event).x);
    }
  });
  canvas.addEventListener('pointerdown', (event) => {
    if (event.pointerType === 'touch') touches.set(event.pointerId, event.clientX);
  });
  for (const ended of ['pointerup', 'pointercancel']) {
    canvas.addEventListener(ended, (event) => touches.delete(event.pointerId));
  }

  function zoom(factor, x = kKeys) {
    const beat = beatAt(x);
    state.pixelsPerBeat = Math.min(400, Math.max(2, state.pixelsPerBeat * factor));
    state.firstBeat = Math.max(0, beat - (x - kKeys) / state.pixelsPerBeat);
    draw();
  }

  function cursorTo(beat) {
    state.cursor = Math.max(0, beat);
    show(state.cursor);
    announce(describe(null));
    draw();
  }

  function selectedSpans() {
    return state.spans.filter((span) => span.pitch >= 0 && state.selected.has(key(span)));
  }

  // Several notes changed one after another, as one edit of the text.
  function changeEach(spans, change, what) {
    let text = textOf();
    let uses = 1;
    for (const span of [...spans].sort((a, b) => b.line - a.line || b.column - a.column)) {
      const result = change(text, spansOf(text), span);
      if (result.error) return say(result.error);
      text = result.text;
      uses = Math.max(uses, result.uses);
    }
    return apply({ text, uses }, what);
  }

  canvas.addEventListener('keydown', (event) => {
    const ctrl = event.ctrlKey || event.metaKey;
    const lower = event.key.toLowerCase();
    if (ctrl && lower === 'z') {
      event.preventDefault();
      if (event.shiftKey) redo(); else undo();
      refresh();
    } else if (ctrl && lower === 'y') {
      event.preventDefault();
      redo();
      refresh();
    } else if (ctrl && lower === 'c') {
      event.preventDefault();
      const chosen = selectedSpans();
      const first = Math.min(...chosen.map((span) => span.start));
      state.clipboard = chosen.map((span) => ({ offset: span.start - first, pitch: span.pitch, length: span.length }));
      say(`${chosen.length} note${chosen.length === 1 ? '' : 's'} copied.`);
    } else if (ctrl && lower === 'v') {
      event.preventDefault();
      let text = textOf();
      const at = Math.round(state.cursor * perBeat());
      for (const note of state.clipboard) {
        const result = addNote(text, spansOf(text), state.voice, at + note.offset, note.pitch, note.length);
        if (result.error) return say(result.error);
        text = result.text;
      }
      apply({ text, uses: 1 }, `${state.clipboard.length} notes pasted`);
    } else if (event.key === 'Delete' || event.key === 'Backspace') {
      event.preventDefault();
      const chosen = selectedSpans();
      if (chosen.length > 0) {
        changeEach(chosen, (text, all, span) => removeNote(text, all, state.voice, span), 'Removed');
        state.selected.clear();
        draw();
      }
    } else if ((event.key === 'ArrowUp' || event.key === 'ArrowDown') && state.selected.size > 0) {
      event.preventDefault();
      const step = (event.key === 'ArrowUp' ? 1 : -1) * (event.shiftKey ? 12 : 1);
      const chosen = selectedSpans();
      changeEach(chosen, (text, all, span) => repitchNote(text, all, state.voice, span, span.pitch + step),
        `Transposed ${step > 0 ? 'up' : 'down'}`);
      // Their columns may have moved with the text: chosen again by time.
      const starts = new Set(chosen.map((span) => span.start));
      state.selected = new Set(state.spans.filter((span) => span.pitch >= 0 && starts.has(span.start)).map(key));
      draw();
    } else if (event.key === 'ArrowLeft' || event.key === 'ArrowRight') {
      event.preventDefault();
      cursorTo(snap(state.cursor + (event.key === 'ArrowRight' ? 1 : -1) * gridBeats()));
    } else if (event.key === 'PageUp' || event.key === 'PageDown') {
      event.preventDefault();
      state.keyOctave = Math.max(2, Math.min(7, state.keyOctave + (event.key === 'PageUp' ? 1 : -1)));
      say(`The keys play from C${state.keyOctave}.`);
    } else if (/^(Numpad|Digit)[1-6]$/.test(event.code) && (event.code.startsWith('Numpad') || event.altKey)) {
      // 2, 3, 5 and 6 are piano keys: lengths are chosen on the number pad,
      // or with Alt.
      event.preventDefault();
      lengthMenu.value = `${[1, 2, 4, 8, 16, 32][Number(event.code.slice(-1)) - 1]}:`;
      say(`Length ${lengthMenu.selectedOptions[0].textContent}.`);
    } else if (!ctrl && !event.altKey && kPianoKeys.includes(lower) && lower.length === 1) {
      event.preventDefault();
      const c = 12 * (state.keyOctave + 1) - 39;  // pitch index of the octave's C
      const pitch = Math.max(0, Math.min(kPitches - 1, c + kPianoKeys.indexOf(lower)));
      if (addAt(state.cursor, pitch)) cursorTo(state.cursor + gridBeats());
    }
  });

  channelMenu.addEventListener('change', () => choose(channelMenu.value));

  function choose(letter) {
    const voice = kChannels.indexOf(String(letter).toUpperCase());
    if (voice < 0) return;
    state.voice = voice;
    channelMenu.value = kChannels[voice];
    state.selected.clear();
    refresh();
    onChannel(voice);
    // The channel's notes in view.
    const pitches = state.spans.filter((span) => span.pitch >= 0).map((span) => span.pitch);
    if (pitches.length > 0) {
      const middle = Math.round((Math.min(...pitches) + Math.max(...pitches)) / 2);
      state.lowPitch = Math.max(0, Math.min(kPitches - rows(), middle - Math.floor(rows() / 2)));
    }
    draw();
  }

  return {
    refresh,
    draw,
    zoom,
    choose,
    setMeter(beatsPerBar) { state.beatsPerBar = beatsPerBar > 0 ? beatsPerBar : 4; },
    // Follows the playhead while playing (beats, or -1).
    setPlayhead(beat) {
      if (beat === state.playhead) return;
      state.playhead = beat;
      if (beat >= 0) {
        const width = (canvas.clientWidth - kKeys) / state.pixelsPerBeat;
        if (beat < state.firstBeat || beat > state.firstBeat + width) state.firstBeat = Math.max(0, beat - width / 8);
      }
      draw();
    },
    get voice() { return state.voice; },
    // For tests: a cell's centre in client coordinates (scrolled into view).
    cell(beat, note) {
      const pitch = typeof note === 'number' ? note : pitchOfName(note);
      show(beat, pitch);
      draw();
      canvas.scrollIntoView({ block: 'nearest' });
      const box = canvas.getBoundingClientRect();
      return { x: box.left + xOf(beat + gridBeats() / 2), y: box.top + yOf(pitch) + kRow / 2 };
    },
    channel: (letter) => choose(letter),
    cursor: (beat) => cursorTo(beat),
    get cursorBeat() { return state.cursor; },
  };
}
