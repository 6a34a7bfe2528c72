// Edits of MML text made from the piano roll: each changes the least text
// that makes the song say what the roll shows (a rest split, a note's
// letter or length rewritten, octave marks around a note in another
// octave), leaving the rest as written. Pure functions of the text and its
// spans (sqn.mmlSpans), so that the roll and the tests share them.

export const kChannels = 'ABCDEF';
const kMidiOfIndexZero = 39;  // pitch index 0 is D#2, MIDI 39
const kLetters = ['c', 'c+', 'd', 'd+', 'e', 'f', 'f+', 'g', 'g+', 'a', 'a+', 'b'];
const kNames = ['C', 'C#', 'D', 'D#', 'E', 'F', 'F#', 'G', 'G#', 'A', 'A#', 'B'];

// 'C#5' → pitch index (C4 is MIDI 60), or NaN.
export function pitchOfName(name) {
  const match = /^([A-Ga-g])([#b+-]?)(-?\d)$/.exec(String(name));
  if (!match) return NaN;
  const base = { c: 0, d: 2, e: 4, f: 5, g: 7, a: 9, b: 11 }[match[1].toLowerCase()];
  const shift = match[2] === '#' || match[2] === '+' ? 1 : match[2] === 'b' || match[2] === '-' ? -1 : 0;
  return 12 * (Number(match[3]) + 1) + base + shift - kMidiOfIndexZero;
}

export function nameOfPitch(pitch) {
  const midi = pitch + kMidiOfIndexZero;
  return `${kNames[midi % 12]}${Math.floor(midi / 12) - 1}`;
}

// MML lengths, longest first: n is 4/n beats; dotted ones half again.
const kLengths = [1, 2, 4, 8, 16, 32, 64, 3, 6, 12, 24, 48];

// `units` as an MML length ("8", "4.", "2^16"), in units of which a beat
// holds `perBeat`. Tied where no single length (dotted at most twice) is it.
export function lengthText(units, perBeat) {
  const single = (value) => {
    for (const n of kLengths) {
      const base = (4 * perBeat) / n;
      if (!Number.isInteger(base)) continue;
      if (base === value) return String(n);
      if (base * 1.5 === value) return `${n}.`;
      if (base * 1.75 === value) return `${n}..`;
    }
    return null;
  };
  const whole = single(units);
  if (whole) return whole;
  const parts = [];
  let left = units;
  while (left > 0) {
    const n = kLengths.filter((k) => Number.isInteger((4 * perBeat) / k)).sort((a, b) => a - b)
      .find((k) => (4 * perBeat) / k <= left);
    if (n === undefined) return null;  // finer than a 64th note
    parts.push(String(n));
    left -= (4 * perBeat) / n;
  }
  return parts.join('^');
}

// The written token at a span's place: its text and its offsets in `text`.
const kNoteToken = /^(?:[a-g][+#-]*\d*\.*(?:[\^&~](?:[a-g][+#-]*)?\d*\.*)*|n\d+(?:,\d+\.*)?)/;
const kRestToken = /^r\d*\.*(?:[\^&~]r?\d*\.*)*/;
function lineOffsets(text) {
  const starts = [0];
  for (let i = 0; i < text.length; ++i) if (text[i] === '\n') starts.push(i + 1);
  return starts;
}
function tokenAt(text, starts, span) {
  const lineStart = starts[span.line - 1];
  if (lineStart === undefined) return null;
  // Columns count characters; the editor's offsets UTF-16 units.
  let at = lineStart;
  for (let column = 1; column < span.column && at < text.length && text[at] !== '\n'; ++column) {
    at += text.codePointAt(at) > 0xffff ? 2 : 1;
  }
  const match = (span.pitch < 0 ? kRestToken : kNoteToken).exec(text.slice(at, at + 200));
  return match ? { from: at, to: at + match[0].length, text: match[0] } : null;
}

// A note of `pitch` and `length` written where `octave` and `transpose`
// hold: octave marks before it where it lies in another, and after it to
// take the octave back.
function noteText(pitch, octave, transpose, length) {
  const midi = pitch + kMidiOfIndexZero - transpose;
  const wanted = Math.floor(midi / 12) - 1;
  const letter = `${kLetters[((midi % 12) + 12) % 12]}${length}`;
  const up = wanted - octave;
  if (up === 0) return letter;
  if (Math.abs(up) <= 2) {
    return `${(up > 0 ? '>' : '<').repeat(Math.abs(up))}${letter}${(up > 0 ? '<' : '>').repeat(Math.abs(up))}`;
  }
  return `o${wanted} ${letter} o${octave}`;
}

// Spans by channel, each with `uses` (how many times its place is played)
// and its token found in the text.
export function channelSpans(text, all, voice) {
  const starts = lineOffsets(text);
  const spans = all.spans.filter((span) => span.voice === voice);
  const uses = new Map();
  for (const span of spans) {
    const key = `${span.line}:${span.column}`;
    uses.set(key, (uses.get(key) || 0) + 1);
  }
  return spans.map((span) => ({ ...span, uses: uses.get(`${span.line}:${span.column}`),
    token: tokenAt(text, starts, span) }));
}

function splice(text, from, to, insert) {
  return text.slice(0, from) + insert + text.slice(to);
}

// The text with a note of `pitch`, `length` units long, at `start` units
// in channel `voice`: in the rest it falls in (cut to that rest's end), or
// after the channel's end. {text, uses} or {error}.
export function addNote(text, all, voice, start, pitch, length) {
  const perBeat = all.unitsPerBeat;
  const spans = channelSpans(text, all, voice);
  const within = spans.find((span) => span.start <= start && start < span.start + span.length);
  if (within && within.pitch >= 0) return { error: 'A note is there already.' };
  if (within) {
    if (!within.token) return { error: 'That rest cannot be found in the text.' };
    const before = start - within.start;
    const end = within.start + within.length;
    const held = Math.min(length, end - start);
    const after = end - start - held;
    const parts = [];
    if (before > 0) parts.push(`r${lengthText(before, perBeat)}`);
    parts.push(noteText(pitch, within.octave, within.transpose, lengthText(held, perBeat)));
    if (after > 0) parts.push(`r${lengthText(after, perBeat)}`);
    if (parts.some((part) => part.includes('null'))) return { error: 'That length is finer than a 64th note.' };
    return { text: splice(text, within.token.from, within.token.to, parts.join(' ')), uses: within.uses };
  }
  const last = spans[spans.length - 1];
  const end = last ? last.start + last.length : 0;
  if (start < end) return { error: 'That time cannot be found in the text.' };
  const gap = start - end;
  const octave = last ? last.octave : 4;
  const transpose = last ? last.transpose : 0;
  const added = `${gap > 0 ? `r${lengthText(gap, perBeat)} ` : ''}${noteText(pitch, octave, transpose, lengthText(length, perBeat))}`;
  if (added.includes('null')) return { error: 'That length is finer than a 64th note.' };
  const starts = lineOffsets(text);
  const letter = kChannels[voice];
  // After the channel's last line, or a line of its own at the end.
  let lineEnd = -1;
  for (let line = starts.length - 1; line >= 0 && lineEnd < 0; --line) {
    const lineText = text.slice(starts[line], line + 1 < starts.length ? starts[line + 1] - 1 : text.length);
    if (new RegExp(`^\\s*[A-F]*${letter}[A-F]*(\\s|$)`).test(lineText)) lineEnd = starts[line] + lineText.replace(/\s*(;.*)?$/, '').length;
  }
  if (lineEnd >= 0) return { text: splice(text, lineEnd, lineEnd, ` ${added}`), uses: 1 };
  const newline = text === '' || text.endsWith('\n') ? '' : '\n';
  return { text: `${text}${newline}${letter} ${added}\n`, uses: 1 };
}

// The note becomes a rest of its length.
export function removeNote(text, all, voice, span) {
  const found = channelSpans(text, all, voice).find((s) => s.line === span.line && s.column === span.column);
  if (!found || !found.token) return { error: 'That note cannot be found in the text.' };
  // Octave marks written about the note alone (>c8<) go with it.
  let { from, to } = found.token;
  const before = /([<>]+)$/.exec(text.slice(Math.max(0, from - 2), from));
  if (before) {
    const back = before[1].replace(/[<>]/g, (mark) => (mark === '>' ? '<' : '>'));
    if (text.startsWith(back, to)) {
      from -= back.length;
      to += back.length;
    }
  }
  return { text: splice(text, from, to, `r${lengthText(found.length, all.unitsPerBeat)}`), uses: found.uses };
}

// The note at another pitch, its length as written.
export function repitchNote(text, all, voice, span, pitch) {
  const found = channelSpans(text, all, voice).find((s) => s.line === span.line && s.column === span.column);
  if (!found || !found.token) return { error: 'That note cannot be found in the text.' };
  const token = found.token.text;
  const letters = /^[a-g][+#-]*/.exec(token);
  const tail = letters ? token.slice(letters[0].length) : '';
  // A tie to other letters (legato, slides) is written again as one note.
  const length = !letters || /[a-g]/.test(tail) ? lengthText(found.length, all.unitsPerBeat) : tail;
  return { text: splice(text, found.token.from, found.token.to, noteText(pitch, found.octave, found.transpose, length)),
    uses: found.uses };
}

// The note `length` units long: longer into the rest after it, shorter
// leaving a rest.
export function resizeNote(text, all, voice, span, length) {
  const spans = channelSpans(text, all, voice);
  const index = spans.findIndex((s) => s.line === span.line && s.column === span.column && s.start === span.start);
  const found = spans[index];
  if (!found || !found.token) return { error: 'That note cannot be found in the text.' };
  const perBeat = all.unitsPerBeat;
  const letters = /^[a-g][+#-]*/.exec(found.token.text);
  if (!letters) return { error: 'A note number keeps its length.' };
  const next = spans[index + 1];
  let grow = length - found.length;
  if (grow > 0) {
    const room = next && next.pitch < 0 && next.token ? next.length : next ? 0 : Infinity;
    grow = Math.min(grow, room);
    if (grow <= 0) return { error: 'The next note is in the way.' };
  }
  const written = `${letters[0]}${lengthText(found.length + grow, perBeat)}`;
  if (grow > 0 && next) {
    const rest = next.length - grow;
    // A rest taken whole goes with the space before it.
    const from = rest > 0 || text[next.token.from - 1] !== ' ' ? next.token.from : next.token.from - 1;
    const out = splice(text, from, next.token.to, rest > 0 ? `r${lengthText(rest, perBeat)}` : '');
    return { text: splice(out, found.token.from, found.token.to, written), uses: found.uses };
  }
  if (grow < 0) {
    return { text: splice(text, found.token.from, found.token.to, `${written} r${lengthText(-grow, perBeat)}`),
      uses: found.uses };
  }
  return { text: splice(text, found.token.from, found.token.to, written), uses: found.uses };
}
