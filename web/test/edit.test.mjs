// The roll's edits of MML text, as pure functions of the text and where its
// notes and rests are written (the spans sqn.mmlSpans gives, made here by
// hand): the least text changed, each case as a composer would click it.
//   node edit.test.mjs
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { addNote, lengthText, nameOfPitch, pitchOfName, removeNote, repitchNote, resizeNote }
  from '../page/mml-edit.js';
import { readEnvelope, writeEnvelope } from '../page/instruments.js';

const kBeat = 3072;
// Spans of one channel's line, read from a list of [column, beats, pitch
// name or 'r'], one after another from beat 0.
function spansOf(voice, line, items, { octave = 4, transpose = 0 } = {}) {
  let start = 0;
  const spans = items.map(([column, beats, pitch]) => {
    const span = { voice, start, length: beats * kBeat, pitch: pitch === 'r' ? -1 : pitchOfName(pitch) + transpose,
      line, column, octave, transpose };
    start += beats * kBeat;
    return span;
  });
  return { failed: false, unitsPerBeat: kBeat, spans };
}

test('lengths and note names', () => {
  const cases = [[4 * kBeat, '1'], [kBeat, '4'], [1.5 * kBeat, '4.'], [1.75 * kBeat, '4..'], [kBeat / 3, '12'],
    [kBeat / 16, '64'], [5 * kBeat, '1^4'], [1.25 * kBeat, '4^16'], [kBeat / 6, '24']];
  for (const [units, text] of cases) assert.equal(lengthText(units, kBeat), text, String(units));
  assert.equal(lengthText(kBeat / 48, kBeat), null);  // finer than a 64th
  for (const name of ['D#2', 'C4', 'C#5', 'B8']) assert.equal(nameOfPitch(pitchOfName(name)), name);
  assert.equal(pitchOfName('C4'), 21);
  assert.ok(Number.isNaN(pitchOfName('H4')));
});

test('a note added in a rest splits it; octaves are marked about the note alone', () => {
  const text = 'A o4 l4 c r r r\n';
  const all = spansOf(0, 1, [[9, 1, 'C4'], [11, 1, 'r'], [13, 1, 'r'], [15, 1, 'r']]);
  const at = (beat, name, beats) => addNote(text, all, 0, beat * kBeat, pitchOfName(name), beats * kBeat).text;
  assert.equal(at(1, 'E4', 0.5), 'A o4 l4 c e8 r8 r r\n');
  assert.equal(at(1.5, 'E4', 0.5), 'A o4 l4 c r8 e8 r r\n');
  assert.equal(at(1, 'G5', 1), 'A o4 l4 c >g4< r r\n');
  assert.equal(at(1, 'G2', 1), 'A o4 l4 c <<g4>> r r\n');
  assert.equal(at(1, 'C7', 1), 'A o4 l4 c o7 c4 o4 r r\n');
  assert.equal(at(2, 'D4', 1 / 3), 'A o4 l4 c r d12 r6 r\n');
  // Longer than the rest it falls in: cut at its end.
  assert.equal(at(3, 'D4', 2), 'A o4 l4 c r r d4\n');
  // After the channel's end, and in a channel with no line yet.
  assert.equal(at(5, 'D4', 1), 'A o4 l4 c r r r r4 d4\n');
  assert.equal(addNote(text, all, 2, 0, pitchOfName('F#4'), kBeat).text, 'A o4 l4 c r r r\nC f+4\n');
  assert.equal(addNote(text, all, 0, 0, pitchOfName('D4'), kBeat).error, 'A note is there already.');
  // Under k2, a D is written as a C.
  const moved = spansOf(0, 1, [[9, 1, 'r']], { transpose: 2 });
  assert.equal(addNote('A o4 k2 r\n', moved, 0, 0, pitchOfName('D4'), kBeat).text, 'A o4 k2 c4\n');
});

test('a note removed, moved in pitch or made longer and shorter', () => {
  const text = 'A o4 l8 c >d4.< e r2\n';
  const all = spansOf(0, 1, [[9, 0.5, 'C4'], [12, 1.5, 'D5'], [17, 0.5, 'C4'], [19, 2, 'r']]);
  all.spans[2].pitch = pitchOfName('E4');
  const [c, d, e] = all.spans;
  assert.equal(removeNote(text, all, 0, d).text, 'A o4 l8 c r4. e r2\n');
  assert.equal(removeNote(text, all, 0, c).text, 'A o4 l8 r8 >d4.< e r2\n');
  assert.equal(repitchNote(text, all, 0, c, pitchOfName('C#4')).text, 'A o4 l8 c+ >d4.< e r2\n');
  assert.equal(repitchNote(text, all, 0, e, pitchOfName('E5')).text, 'A o4 l8 c >d4.< >e< r2\n');
  assert.equal(resizeNote(text, all, 0, e, 1.5 * kBeat).text, 'A o4 l8 c >d4.< e4. r4\n');
  assert.equal(resizeNote(text, all, 0, e, 2.5 * kBeat).text, 'A o4 l8 c >d4.< e2^8\n');
  // Shorter: a rest after it, inside the marks (a rest has no octave).
  assert.equal(resizeNote(text, all, 0, d, 0.5 * kBeat).text, 'A o4 l8 c >d8 r4< e r2\n');
  assert.equal(resizeNote(text, all, 0, c, kBeat).error, 'The next note is in the way.');
});

test('envelopes read and written again as drawn', () => {
  assert.deepEqual(readEnvelope('{ 15 12:3 | 9 / 4 0 }'), { steps: [15, 12, 12, 12, 9, 4, 0], loop: 4, release: 5 });
  assert.equal(writeEnvelope({ steps: [15, 12, 12, 12, 9, 4, 0], loop: 4, release: 5 }, false), '{ 15 12:3 | 9 / 4 0 }');
  assert.equal(writeEnvelope({ steps: [0, 4, 7, 7], loop: 1, release: -1 }, true), '{ 0 | +4 +7 +7 }');
  assert.equal(writeEnvelope({ steps: [0, -1, -2], loop: -1, release: -1 }, true), '{ 0 -1 -2 }');
});
