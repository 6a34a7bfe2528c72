// The playground's editor: CodeMirror 6 with the song's two languages
// highlighted, errors underlined at their line and column (the message on
// hover), the line being played marked, Tab indenting, undo and redo.
// Bundled by esbuild into the site as editor.js; page.js drives it through
// window.SqnEditor.create(host).
import { defaultKeymap, history, historyKeymap, indentWithTab, redo, undo } from '@codemirror/commands';
import { HighlightStyle, StreamLanguage, indentUnit, syntaxHighlighting } from '@codemirror/language';
import { lintGutter, setDiagnostics } from '@codemirror/lint';
import { Annotation, Compartment, EditorState, StateEffect, StateField } from '@codemirror/state';
import { Decoration, EditorView, drawSelection, keymap, lineNumbers } from '@codemirror/view';
import { tags } from '@lezer/highlight';

const commands = /^(tempo|bytes|wait|note|volume|pitch|loop-start|loop-end)\b/;

// The text form: a command word, a voice, then a note name or a number;
// `#` to the end of the line is a comment.
const textForm = StreamLanguage.define({
  name: 'sqn',
  startState: () => ({ word: 0 }),
  token(stream, state) {
    if (stream.sol()) state.word = 0;
    if (stream.eatSpace()) return null;
    if (stream.peek() === '#') {
      stream.skipToEnd();
      return 'comment';
    }
    ++state.word;
    if (state.word === 1 && stream.match(commands)) return 'keyword';
    if (state.word === 2 && stream.match(/^\d+\b/)) return 'variableName';
    if (stream.match(/^[A-Ga-g][#b]?-?\d+\b/)) return 'string';
    if (stream.match(/^-?\d+(\.\d+)?\b/)) return 'number';
    stream.next();
    return null;
  },
});

// MML: a channel letter first, notes and rests (with ties), commands with
// numbers, instruments (@v1 = { … } defined, @v1 and @a1 chosen), repeats
// with their | and the loop point, tuplets in { }, the T line of tempo
// changes; #tick and the other settings at the top; `;` to the end of the
// line and `/* … */` across lines are comments.
const mml = StreamLanguage.define({
  name: 'mml',
  startState: () => ({ inComment: false }),
  copyState: (state) => ({ inComment: state.inComment }),
  token(stream, state) {
    if (state.inComment || stream.match('/*')) {
      state.inComment = true;
      if (stream.skipTo('*/')) {
        stream.pos += 2;
        state.inComment = false;
      } else {
        stream.skipToEnd();
      }
      return 'comment';
    }
    if (stream.eatSpace()) return null;
    if (stream.peek() === ';') {
      stream.skipToEnd();
      return 'comment';
    }
    if (stream.sol() && stream.match(/^#(tick|rows|meter|title|composer|song|include)\b/)) return 'meta';
    if (stream.match(/^"[^"]*"/)) return 'string';
    if (stream.sol() && stream.match(/^(?:[A-F]+|T)(?=\s)/)) return 'variableName';
    if (stream.match(/^\$[A-Za-z_]\w*/)) return 'macroName';
    if (stream.match(/^@[vapi]\d+/)) return 'macroName';
    if (stream.match(/^![\w-]+/)) return 'macroName';
    if (stream.match(/^[a-gr][+#-]*\d*\.*/)) return 'string';
    if (stream.match(/^n\d+(,\d+\.*)?/)) return 'string';
    if (stream.match(/^k[+-]?\d*/)) return 'keyword';
    if (stream.match(/^[vV][+-]\d*/)) return 'keyword';
    if (stream.match(/^[tlovqVL]\d*/)) return 'keyword';
    if (stream.match(/^[&^~]/)) return 'operator';
    if (stream.match(/^[[\]|{}]\d*/)) return 'bracket';
    if (stream.match(/^[+-]?\d+/)) return 'number';
    stream.next();
    return null;
  },
});

const highlight = HighlightStyle.define([
  { tag: tags.keyword, color: '#c792ea' },
  { tag: tags.variableName, color: '#82aaff' },
  { tag: tags.string, color: '#c3e88d' },
  { tag: tags.number, color: '#f78c6c' },
  { tag: tags.macroName, color: '#ff9cac' },
  { tag: tags.bracket, color: '#89ddff' },
  { tag: tags.comment, color: '#697098', fontStyle: 'italic' },
  { tag: tags.meta, color: '#ffcb6b' },
  { tag: tags.operator, color: '#89ddff' },
]);

// The line being played, as a line decoration carrying the class `playing`.
const setPlaying = StateEffect.define();
const playingLine = StateField.define({
  create: () => Decoration.none,
  update(decorations, transaction) {
    let next = decorations.map(transaction.changes);
    for (const effect of transaction.effects) {
      if (effect.is(setPlaying)) {
        const line = effect.value;
        next = line > 0 && line <= transaction.state.doc.lines
          ? Decoration.set([Decoration.line({ class: 'playing' }).range(transaction.state.doc.line(line).from)])
          : Decoration.none;
      }
    }
    return next;
  },
  provide: (field) => EditorView.decorations.from(field),
});

// Changes made by the page itself (a new example, a restored song), which
// are not the user's edits.
const fromPage = Annotation.define();

function create(host) {
  const language = new Compartment();
  let languageName = 'text';
  const view = new EditorView({
    parent: host,
    state: EditorState.create({
      doc: '',
      extensions: [
        lineNumbers(),
        lintGutter(),
        history(),
        drawSelection(),
        indentUnit.of('    '),
        keymap.of([indentWithTab, ...defaultKeymap, ...historyKeymap]),
        language.of(textForm),
        syntaxHighlighting(highlight),
        playingLine,
        // Its name for screen readers, from the box it stands in; Escape
        // then Tab leaves it (Tab alone indents).
        EditorView.contentAttributes.of({ 'aria-label': `${host.getAttribute('aria-label') || 'the song'} (Escape, then Tab, leaves it)` }),
        EditorView.updateListener.of((update) => {
          if (update.docChanged && !update.transactions.some((t) => t.annotation(fromPage))) {
            host.dispatchEvent(new Event('input'));
          }
        }),
      ],
    }),
  });

  // Columns count characters (code points), as the programs report them;
  // the editor counts UTF-16 units, two for a character past U+FFFF.
  const lineStart = (line, column = 1) => {
    const doc = view.state.doc;
    const at = doc.line(Math.min(Math.max(line, 1), doc.lines));
    let offset = 0;
    let characters = 0;
    for (const character of at.text) {
      if (characters >= column - 1) break;
      offset += character.length;
      ++characters;
    }
    return Math.min(at.from + offset + Math.max(column - 1 - characters, 0), at.to);
  };

  // The text, read and replaced as a text box's value: what tests and
  // scripts on the page use.
  Object.defineProperty(host, 'value', {
    get: () => view.state.doc.toString(),
    set: (text) => view.dispatch({
      changes: { from: 0, to: view.state.doc.length, insert: String(text) },
      annotations: fromPage.of(true),
    }),
  });

  return {
    view,
    get value() { return view.state.doc.toString(); },
    set value(text) { host.value = text; },
    // Only a change of language is dispatched: reconfiguring parses the
    // text again, and the page calls this on every edit.
    setLanguage(name) {
      if (name === languageName) return;
      languageName = name;
      view.dispatch({ effects: language.reconfigure(name === 'mml' ? mml : textForm) });
    },
    // Errors as { line, column, message }, each underlined from its column
    // to the end of its word.
    setErrors(errors) {
      const doc = view.state.doc;
      const diagnostics = errors.filter((error) => error.line > 0 && error.line <= doc.lines).map((error) => {
        const from = lineStart(error.line, error.column);
        const end = doc.line(error.line).to;
        const rest = doc.sliceString(from, end);
        const word = rest.search(/\s/);
        const to = Math.max(from + 1, Math.min(end, from + (word === -1 ? rest.length : word)));
        return { from, to: Math.min(to, doc.length), severity: 'error', message: error.message };
      });
      view.dispatch(setDiagnostics(view.state, diagnostics));
    },
    setPlaying(line) {
      view.dispatch({ effects: setPlaying.of(line) });
    },
    // Scrolls a line into view where it is not.
    showLine(line) {
      if (line < 1 || line > view.state.doc.lines) return;
      // A third of the editor kept in view past it, so that what comes next shows.
      const margin = Math.round(view.dom.clientHeight / 3);
      view.dispatch({ effects: EditorView.scrollIntoView(lineStart(line), { y: 'nearest', yMargin: margin }) });
    },
    goTo(line, column) {
      const at = lineStart(line, column);
      view.dispatch({ selection: { anchor: at }, effects: EditorView.scrollIntoView(at, { y: 'center' }) });
      view.focus();
    },
    scrollToTop() {
      view.dispatch({ selection: { anchor: 0 }, effects: EditorView.scrollIntoView(0) });
    },
    contains: (element) => view.dom.contains(element),
    // The whole text replaced as one edit of the editor's history (undone
    // by one Ctrl+Z): only what differs is changed, so that the selection
    // and the lines around stay where they are.
    replaceText(text) {
      const old = view.state.doc.toString();
      if (text === old) return;
      let from = 0;
      while (from < old.length && from < text.length && old[from] === text[from]) ++from;
      let tail = 0;
      while (tail < old.length - from && tail < text.length - from &&
        old[old.length - 1 - tail] === text[text.length - 1 - tail]) ++tail;
      view.dispatch({ changes: { from, to: old.length - tail, insert: text.slice(from, text.length - tail) },
        userEvent: 'input.roll' });
    },
    undo: () => undo(view),
    redo: () => redo(view),
    // The cursor's line and column (in characters), both from 1.
    cursor() {
      const at = view.state.selection.main.head;
      const line = view.state.doc.lineAt(at);
      return { line: line.number, column: [...line.text.slice(0, at - line.from)].length + 1 };
    },
  };
}

window.SqnEditor = { create };
