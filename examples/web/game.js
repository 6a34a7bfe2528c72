// A web game's music with sqn-player: the song loops, a light flashes on
// every beat as it is heard, the ending is jumped to at the next bar, a
// coin sound plays over the music on the hi-hat's voice, and the music
// fades out. Bundle it with esbuild or Vite (see the package's README);
// arcade.sqn (examples/arcade.mml compiled) is served beside it.
import { SqnPlayer } from 'sqn-player';

const context = new AudioContext();
const status = document.querySelector('#status');
const light = document.querySelector('#beat');
const log = document.querySelector('#log');

// Two quick notes on voice 4's noise, as bytes: tempo 240, 4 rows a beat.
const coin = Uint8Array.of(240, 4, 4, 4, 60, 4, 2, 0, 0, 1, 1, 4, 4, 67, 4, 2, 0, 0, 1, 2, 0, 6, 0);

const song = await (await fetch('arcade.sqn')).arrayBuffer();
const music = await SqnPlayer.create(context, song, { loop: true, pauseWhenHidden: true });
music.connect(context.destination);

function say(text) {
  const item = document.createElement('li');
  item.textContent = text;
  log.append(item);
}

// Draws when the music is heard, not when the event arrives (a little
// before).
function whenHeard(audioTime, draw) {
  const latency = context.outputLatency || context.baseLatency || 0;
  setTimeout(draw, Math.max(0, (audioTime + latency - context.currentTime) * 1000));
}

music.addEventListener('beat', ({ detail }) => whenHeard(detail.audioTime, () => {
  status.value = `bar ${detail.bar}, beat ${detail.beat} of ${detail.beatsPerBar} at ${detail.bpm} bpm`;
  light.classList.toggle('on', detail.beat === 1);
}));
music.addEventListener('cue', ({ detail }) => whenHeard(detail.audioTime, () => say(`cue ${detail.cue}`)));
music.addEventListener('loop', ({ detail }) => whenHeard(detail.audioTime, () => say(`loop, pass ${detail.pass}`)));

// Browsers start audio only inside a gesture: the first click does.
SqnPlayer.unlock(context);
document.querySelector('#play').addEventListener('click', () => music.play());
document.querySelector('#ending').addEventListener('click', () => {
  music.jump('ending', { at: 'bar' });
  say('jump to the ending at the next bar');
});
document.querySelector('#coin').addEventListener('click', async () => {
  await music.playEffect(coin, { voices: [4] });
  say('coin played');
});
document.querySelector('#fade').addEventListener('click', () => music.fadeTo(0, 2));
document.body.dataset.ready = 'true';
