// Playing: the song through the player's audio worklet, Play, Pause and
// Stop, where the song is heard (time, pass, bar and beat, the line being
// played) and the scope; bars chosen in the lanes or the roll played round.

const kKeptReports = 20;  // the worklet's reports kept: the last two seconds

export function createTransport(page, $) {
  const playButton = $('play');
  const pauseButton = $('pause');
  const stopButton = $('stop');
  const loopBox = $('loop');
  const position = $('position');
  const scope = $('scope');
  // The worklet's reports, oldest first, each with `clock`, the audio
  // clock when it came (seconds).
  let reports = [];
  let startedFrom = 0;  // the frame the worklet was last sent to play from, at its rate
  let playingLine = 0;  // the line of the event being played, 0 for none
  let animation = 0;    // the animation frame asked for, 0 for none

  // The frames the worklet has rendered by now, at its own rate: its last
  // report carried on by the audio clock (a quarter of a second at most,
  // should reports stop coming).
  function renderedFrames() {
    const last = reports[reports.length - 1];
    if (!last) return 0;
    const since = Math.min(0.25, Math.max(0, page.audio.context.currentTime - last.clock));
    return last.frames + since * page.audio.context.sampleRate;
  }

  // The frames heard by now: those rendered, less those still on their
  // way to the speakers (a Bluetooth headset holds a fifth of a second or
  // more); inside the bars played round, where they are.
  function heardFrames() {
    const context = page.audio.context;
    const latency = (context.outputLatency || 0) + (context.baseLatency || 0);
    const frames = renderedFrames() - latency * context.sampleRate;
    const choice = page.loopChoice;
    if (!choice || choice.to === undefined) return Math.max(startedFrom, frames);
    return frames < choice.to ? Math.max(choice.from, frames)
      : choice.from + ((frames - choice.from) % (choice.to - choice.from));
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
        page.say(`The song could not be played: ${status.failed}`);
        return;
      }
      if (status.ended) {
        stop().then(() => page.say('The song has ended.'));
        return;
      }
      if (status.pass === undefined) return;  // no song open
      if (typeof status.rounds === 'number') page.rounds = status.rounds;
      reports.push({ ...status, clock: context.currentTime });
      if (reports.length > kKeptReports) reports.shift();
      showPosition();
    };
    return { context, node, analyser };
  }

  // Where the playhead is in the song, in frames at 48000 Hz: past the
  // song's end a looping song is back in its looped part.
  function songFrame(frames, rate) {
    const { songMap } = page;
    let frame = (frames * 48000) / rate;
    if (songMap && frame > songMap.end && songMap.loop >= 0) {
      frame = songMap.loop + ((frame - songMap.end) % Math.max(1, songMap.end - songMap.loop));
    }
    return frame;
  }

  // The song frame heard now (48000 Hz), or -1 when nothing plays.
  function heardSongFrame() {
    if (!page.playing || reports.length === 0) return -1;
    return songFrame(heardFrames(), page.audio.context.sampleRate);
  }

  // The bar and beat at a frame of the song (48000 Hz), as its map counts
  // them: the last beat at or before it.
  function barAndBeat(frame) {
    const { beats } = page.songMusic;
    let low = 0;
    let high = beats.length;
    while (high - low > 1) {
      const middle = (low + high) >> 1;
      if (beats[middle][0] <= frame) low = middle; else high = middle;
    }
    if (beats.length === 0) return 'bar 1, beat 1';
    return `bar ${beats[low][1]}, beat ${beats[low][2]}`;
  }

  // What is being heard: time, pass, bar and beat, the line of its event,
  // and the playheads. Reports come ahead of the sound by the output's
  // latency; the one shown is the last at or before what is heard.
  function showPosition() {
    if (!page.playing || reports.length === 0) return;
    const rate = page.audio.context.sampleRate;
    const frames = heardFrames();
    let report = reports[0];
    for (const next of reports) if (next.frames <= frames) report = next;
    // Tenths cut, not rounded, to agree with the bar and beat.
    const seconds = Math.floor((frames / rate) * 10) / 10;
    const minutes = Math.floor(seconds / 60);
    const where = page.songMusic ? ` · ${barAndBeat(songFrame(frames, rate))}` : '';
    position.value = `${minutes}:${(seconds - 60 * minutes).toFixed(1).padStart(4, '0')}` +
      ` · pass ${report.pass + 1}${where}`;
    const event = report.position - 1;
    const line = event >= 0 && event < page.eventLines.length ? page.eventLines[event] : 0;
    if (line !== playingLine) {
      playingLine = line;
      page.editor.setPlaying(line);
      page.editor.showLine(line);
    }
    page.showPlayheads();
  }

  function startSong(from = 0) {
    const { audio } = page;
    page.playingBytes = page.assembled;
    const rate = audio.context.sampleRate;
    const choice = page.loopChoice;
    // Bars played round: their frames at the context's rate.
    if (choice) {
      choice.from = Math.round((choice.frames[0] * rate) / 48000);
      choice.to = Math.round((choice.frames[1] * rate) / 48000);
      if (from < choice.from || from >= choice.to) from = choice.from;
    }
    // Where the song is `from` frames in, worked out here: the worklet
    // never seeks on the audio thread.
    const state = from > 0 ? window.sqn.seekState(page.assembled, rate, from, loopBox.checked) : null;
    const round = choice ? { from: choice.from, to: choice.to,
      state: window.sqn.seekState(page.assembled, rate, choice.from, loopBox.checked) } : null;
    audio.node.port.postMessage({ muted: page.mutedVoices() });
    audio.node.port.postMessage({ song: page.assembled, looping: loopBox.checked, from, state, round });
    reports = [{ frames: from, pass: 0, position: 0, events: 0, clock: audio.context.currentTime }];
    startedFrom = from;
    page.sentAt = performance.now();
  }

  // Playing (or stopped), and the buttons that go with it.
  function showPlaying(on) {
    page.playing = on;
    page.paused = false;
    playButton.disabled = on;
    pauseButton.disabled = !on;
    pauseButton.textContent = '❚❚ Pause';
    stopButton.disabled = !on;
  }

  // Plays from a frame of the song at 48000 Hz (the start unless given).
  async function play(from48 = 0) {
    if (!page.assemble()) {
      page.say('The song has errors: play starts once they are mended.');
      return;
    }
    if (!page.audio) page.audio = await setUpAudio();
    startSong(Math.round((from48 * page.audio.context.sampleRate) / 48000));
    await page.audio.context.resume();
    showPlaying(true);
    page.say(page.loopChoice ? `Playing bars ${page.loopChoice.bars} round: Stop, then Play, plays the whole song.`
      : `Playing at ${page.audio.context.sampleRate} Hz.`);
    animate();
  }

  // Pause holds the audio clock where it is; Resume goes on from there.
  async function togglePause() {
    const { audio } = page;
    if (!page.playing || !audio) return;
    page.paused = !page.paused;
    pauseButton.textContent = page.paused ? '▶ Resume' : '❚❚ Pause';
    if (page.paused) {
      await audio.context.suspend();
      page.say('Paused.');
    } else {
      await audio.context.resume();
      page.say(`Playing at ${audio.context.sampleRate} Hz.`);
      animate();
    }
  }

  async function stop() {
    const { audio } = page;
    if (!audio) return;
    audio.node.port.postMessage({ stop: true });
    await audio.context.suspend();
    showPlaying(false);
    playingLine = 0;
    page.editor.setPlaying(0);
    page.showPlayheads();
    page.say('');
  }

  // Draws the scope and the playheads every animation frame while
  // playing: one chain of frames however often Play is pressed.
  function animate() {
    if (!animation) animation = requestAnimationFrame(drawScope);
  }

  // The waveform of what plays, from the analyser after the worklet.
  function drawScope() {
    animation = 0;
    const graphics = scope.getContext('2d');
    const { width, height } = scope;
    graphics.clearRect(0, 0, width, height);
    if (!page.playing || page.paused) return;
    const samples = new Float32Array(page.audio.analyser.fftSize);
    page.audio.analyser.getFloatTimeDomainData(samples);
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

  playButton.addEventListener('click', () => {
    page.loopChoice = null;
    page.drawViews();
    play(0);
  });
  pauseButton.addEventListener('click', togglePause);
  stopButton.addEventListener('click', stop);
  loopBox.addEventListener('change', () => {
    if (page.audio) page.audio.node.port.postMessage({ looping: loopBox.checked });
  });

  return {
    play, togglePause, stop, startSong, renderedFrames, heardSongFrame,
    get startedFrom() { return startedFrom; },
    get playingLine() { return playingLine; },
  };
}
