// The instrument panel: the chosen channel's volume envelope, arpeggio and
// pitch envelope (its @v, @a and @p) as bar graphs, a bar a tick. Drawing on
// one rewrites the braces of its definition line, or (where the channel has
// none) defines one and names it at the channel's first line: one edit of
// the text, heard once the song is compiled again.

import { kChannels } from './mml-edit.js';

const kKinds = [
  { letter: 'v', name: 'Volume envelope', least: 0, most: 15, start: 15 },
  { letter: 'a', name: 'Arpeggio', least: -12, most: 12, start: 0 },
  { letter: 'p', name: 'Pitch envelope', least: -12, most: 12, start: 0 },
];
const kColumns = 32;     // ticks drawn
const kColumnWidth = 10; // CSS pixels
const kHeight = 64;      // CSS pixels

// `{ 15 12:2 | 9 / 4 0 }` as {steps, loop, release}: a value a tick, where
// the loop point (|) and the release (/) stand in them.
export function readEnvelope(braces) {
  const steps = [];
  let loop = -1;
  let release = -1;
  for (const word of braces.replace(/[{}]/g, ' ').split(/\s+/).filter(Boolean)) {
    if (word === '|') loop = steps.length;
    else if (word === '/') release = steps.length;
    else {
      const [value, ticks] = word.split(':');
      for (let i = 0; i < (ticks ? Number(ticks) : 1); ++i) steps.push(Number(value));
    }
  }
  return { steps, loop, release };
}

// The braces again: runs of one value as value:ticks.
export function writeEnvelope({ steps, loop, release }, signed) {
  const words = [];
  for (let i = 0; i < steps.length;) {
    if (i === loop) words.push('|');
    if (i === release) words.push('/');
    let end = i + 1;
    while (end < steps.length && steps[end] === steps[i] && end !== loop && end !== release) ++end;
    const value = signed && steps[i] > 0 ? `+${steps[i]}` : String(steps[i]);
    words.push(end - i >= 3 ? `${value}:${end - i}` : Array(end - i).fill(value).join(' '));
    i = end;
  }
  return `{ ${words.join(' ')} }`;
}

const lines = (text) => text.split('\n');

// The number of the channel's @v, @a or @p (the first its lines name), or 0.
function numberUsed(text, voice, letter) {
  const channel = new RegExp(`^\\s*[A-F]*${kChannels[voice]}[A-F]*\\s`);
  for (const line of lines(text)) {
    if (!channel.test(line)) continue;
    const match = new RegExp(`@${letter}(\\d+)`).exec(line.replace(/;.*$/, ''));
    if (match) return Number(match[1]);
  }
  return 0;
}

function definitionLine(text, letter, number) {
  const pattern = new RegExp(`^\\s*@${letter}${number}\\s*=\\s*(\\{[^}]*\\})`);
  return lines(text).findIndex((line) => pattern.test(line));
}

export function createInstruments({ panel, textOf, edit, say }) {
  let voice = 0;
  const graphs = kKinds.map((kind) => {
    const label = document.createElement('label');
    label.className = 'envelope';
    const canvas = document.createElement('canvas');
    canvas.tabIndex = 0;
    canvas.width = kColumns * kColumnWidth;
    canvas.height = kHeight;
    canvas.setAttribute('aria-label', `${kind.name}: draw to change it, a bar a tick (arrow keys: choose a tick, change it)`);
    label.append(`${kind.name} `, canvas);
    panel.append(label);
    return { kind, canvas, envelope: null, number: 0 };
  });

  function read(graph) {
    const text = textOf();
    graph.number = numberUsed(text, voice, graph.kind.letter);
    const at = graph.number ? definitionLine(text, graph.kind.letter, graph.number) : -1;
    graph.envelope = at >= 0
      ? readEnvelope(/(\{[^}]*\})/.exec(lines(text)[at])[1])
      : { steps: [graph.kind.start], loop: -1, release: -1 };
    draw(graph);
  }

  function draw(graph) {
    const { canvas, kind, envelope } = graph;
    const graphics = canvas.getContext('2d');
    graphics.fillStyle = '#101318';
    graphics.fillRect(0, 0, canvas.width, canvas.height);
    const span = kind.most - kind.least;
    const zero = kHeight - ((0 - kind.least) / span) * kHeight;
    graphics.fillStyle = '#2c3038';
    graphics.fillRect(0, Math.round(zero), canvas.width, 1);
    envelope.steps.slice(0, kColumns).forEach((value, i) => {
      const y = kHeight - ((value - kind.least) / span) * kHeight;
      graphics.fillStyle = i >= envelope.release && envelope.release >= 0 ? '#ffb86c' : '#6cc4ff';
      graphics.fillRect(i * kColumnWidth + 1, Math.min(y, zero), kColumnWidth - 2, Math.max(2, Math.abs(zero - y)));
    });
    if (envelope.loop >= 0) {
      graphics.fillStyle = '#c792ea';
      graphics.fillRect(envelope.loop * kColumnWidth, 0, 2, kHeight);
    }
  }

  // The graph's envelope written into the text: its definition's braces,
  // or a new definition and its use where the channel had none.
  function write(graph) {
    const { kind } = graph;
    const text = textOf();
    const braces = writeEnvelope(graph.envelope, kind.letter !== 'v');
    const all = lines(text);
    const at = graph.number ? definitionLine(text, kind.letter, graph.number) : -1;
    if (at >= 0) {
      all[at] = all[at].replace(/\{[^}]*\}/, braces);
      edit(all.join('\n'));
      say(`@${kind.letter}${graph.number} changed.`);
      return;
    }
    let number = 1;
    while (definitionLine(text, kind.letter, number) >= 0) ++number;
    const channel = new RegExp(`^(\\s*[A-F]*${kChannels[voice]}[A-F]*)(\\s)`);
    const first = all.findIndex((line) => channel.test(line));
    const definition = `@${kind.letter}${number} = ${braces}`;
    if (first >= 0) {
      all[first] = all[first].replace(channel, `$1 @${kind.letter}${number}$2`);
      all.splice(first, 0, definition);
    } else {
      all.splice(all[all.length - 1] === '' ? all.length - 1 : all.length, 0, definition,
        `${kChannels[voice]} @${kind.letter}${number}`);
    }
    edit(all.join('\n'));
    graph.number = number;
    say(`@${kind.letter}${number} defined for channel ${kChannels[voice]}.`);
  }

  for (const graph of graphs) {
    let drawing = false;
    const paint = (event) => {
      const box = graph.canvas.getBoundingClientRect();
      const column = Math.floor(((event.clientX - box.left) / box.width) * kColumns);
      const fraction = 1 - (event.clientY - box.top) / box.height;
      const { kind, envelope } = graph;
      if (column < 0 || column >= kColumns) return;
      const value = Math.round(kind.least + Math.min(1, Math.max(0, fraction)) * (kind.most - kind.least));
      // Drawn past its end: the last value held up to there.
      while (envelope.steps.length <= column) envelope.steps.push(envelope.steps[envelope.steps.length - 1]);
      envelope.steps[column] = value;
      draw(graph);
    };
    // From the keyboard: Left and Right choose a tick, Up and Down change it.
    let column = 0;
    graph.canvas.addEventListener('keydown', (event) => {
      const { kind, envelope } = graph;
      if (event.key === 'ArrowLeft' || event.key === 'ArrowRight') {
        event.preventDefault();
        column = Math.max(0, Math.min(kColumns - 1, column + (event.key === 'ArrowRight' ? 1 : -1)));
        say(`${kind.name}, tick ${column + 1}: ${column < envelope.steps.length ? envelope.steps[column] : 'not set'}.`);
      } else if (event.key === 'ArrowUp' || event.key === 'ArrowDown') {
        event.preventDefault();
        while (envelope.steps.length <= column) envelope.steps.push(envelope.steps[envelope.steps.length - 1]);
        const value = envelope.steps[column] + (event.key === 'ArrowUp' ? 1 : -1);
        envelope.steps[column] = Math.max(kind.least, Math.min(kind.most, value));
        draw(graph);
        write(graph);
      }
    });
    graph.canvas.addEventListener('pointerdown', (event) => {
      drawing = true;
      graph.canvas.setPointerCapture(event.pointerId);
      paint(event);
    });
    graph.canvas.addEventListener('pointermove', (event) => { if (drawing) paint(event); });
    graph.canvas.addEventListener('pointerup', () => {
      if (!drawing) return;
      drawing = false;
      write(graph);
    });
  }

  return {
    // Shows channel `v`'s envelopes (0 … 5).
    show(v) {
      voice = v;
      for (const graph of graphs) read(graph);
    },
    // For tests: client coordinates of tick `tick` at `value` in a graph ('v', 'a', 'p').
    point(letter, tick, value) {
      const graph = graphs.find((g) => g.kind.letter === letter);
      graph.canvas.scrollIntoView({ block: 'nearest' });
      const box = graph.canvas.getBoundingClientRect();
      const { least, most } = graph.kind;
      const y = box.top + (1 - (value - least) / (most - least)) * box.height;
      return { x: box.left + (tick + 0.5) * (box.width / kColumns),
        y: Math.min(box.bottom - 1, Math.max(box.top + 1, y)) };
    },
  };
}
