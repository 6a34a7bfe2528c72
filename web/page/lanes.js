// The lanes: a lane a voice (0–3 the waveforms, 4 and 5 the hits), each
// note a bar at its pitch and length, the song's bars, beats and cues, the
// looped part marked; a voice's number mutes and solos it, a click
// elsewhere plays from there.

// Where the voice numbers are: the lanes' right end, in CSS pixels.
const kVoiceNumbers = 28;

export function createLanes(page, lanes) {
  // Each voice as its number sets it: '' heard, 'muted', or 'solo' (then
  // only the soloed voices are heard), as trackers have it.
  const voiceStates = ['', '', '', '', '', ''];
  // Drawn once a song, aside, so that the playhead can move every
  // animation frame over a copy.
  const picture = document.createElement('canvas');

  // The voices left out, as six booleans: all but the soloed ones where
  // any is soloed, else the muted ones.
  function mutedVoices() {
    const solo = voiceStates.includes('solo');
    return voiceStates.map((state) => (solo ? state !== 'solo' : state === 'muted'));
  }

  function draw() {
    const { songMap, songMusic } = page;
    picture.width = lanes.width;
    picture.height = lanes.height;
    const graphics = picture.getContext('2d');
    const { width, height } = picture;
    graphics.clearRect(0, 0, width, height);
    if (songMap && songMap.end > 0) {
      const lane = height / 6;
      const x = (frame) => (frame / songMap.end) * width;
      if (songMap.loop >= 0) {
        graphics.fillStyle = '#1c2230';
        graphics.fillRect(x(songMap.loop), 0, width - x(songMap.loop), height);
      }
      const chosen = page.loopChoice && page.loopChoice.frames;
      if (chosen) {
        graphics.fillStyle = 'rgba(255, 203, 107, 0.18)';
        graphics.fillRect(x(chosen[0]), 0, x(chosen[1]) - x(chosen[0]), height);
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
    show();
  }

  // The lanes with the playhead where the song is heard.
  function show() {
    const { songMap } = page;
    const graphics = lanes.getContext('2d');
    const { width, height } = lanes;
    graphics.clearRect(0, 0, width, height);
    graphics.drawImage(picture, 0, 0);
    const frame = page.heardSongFrame();
    if (frame < 0 || !songMap || songMap.end <= 0) return;
    graphics.fillStyle = '#ffffff';
    graphics.fillRect(Math.min(width - 2, (frame / songMap.end) * width), 0, 2, height);
  }

  // The frame (48000 Hz) under a client x.
  function frameAt(clientX) {
    const box = lanes.getBoundingClientRect();
    return Math.max(0, Math.min(page.songMap.end, ((clientX - box.left) / box.width) * page.songMap.end));
  }

  // A click on a voice's number mutes it, a second solos it, a third
  // hears it again; a click elsewhere plays from that point; a drag across
  // bars plays them round (the loop chosen).
  let dragFrom = null;
  lanes.addEventListener('pointerdown', (event) => {
    if (!page.songMap || page.songMap.end <= 0 || event.button !== 0) return;
    const box = lanes.getBoundingClientRect();
    if (event.clientX > box.right - kVoiceNumbers) {
      const voice = Math.min(5, Math.max(0, Math.floor(((event.clientY - box.top) / box.height) * 6)));
      toggleVoice(voice);
      return;
    }
    dragFrom = { x: event.clientX, frame: frameAt(event.clientX) };
    lanes.setPointerCapture(event.pointerId);
  });
  lanes.addEventListener('pointerup', (event) => {
    if (!dragFrom) return;
    const from = dragFrom;
    dragFrom = null;
    if (Math.abs(event.clientX - from.x) < 6) {
      page.play(Math.floor(from.frame));
      return;
    }
    page.loopFrames(Math.min(from.frame, frameAt(event.clientX)), Math.max(from.frame, frameAt(event.clientX)));
  });

  // From the keyboard: 0 … 5 mute and solo a voice, Enter plays from the start.
  lanes.addEventListener('keydown', (event) => {
    if (/^[0-5]$/.test(event.key) && !event.ctrlKey && !event.metaKey && !event.altKey) {
      event.preventDefault();
      toggleVoice(Number(event.key));
    } else if (event.key === 'Enter') {
      event.preventDefault();
      page.play(0);
    }
  });

  function toggleVoice(voice) {
    const next = { '': 'muted', muted: 'solo', solo: '' };
    voiceStates[voice] = next[voiceStates[voice]];
    page.mutedChanged();
    draw();
    const said = { '': 'heard', muted: 'muted', solo: 'soloed' };
    page.say(`Voice ${voice} ${said[voiceStates[voice]]}.`);
  }

  return { draw, show, mutedVoices };
}
