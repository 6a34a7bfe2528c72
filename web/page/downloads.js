// The downloads: the song file, the .wav sqn2wav writes (with the passes,
// fade and voices asked for) and a .wav a voice in one zip, named after the
// song's #title where it has one.

export function createDownloads(page, $) {
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

  // What a download is called: the song's title where it has one, else
  // the example's or the opened file's name; nothing a file name cannot hold.
  function downloadName() {
    const title = page.songTitle().replace(/[\x00-\x1f\x7f/\\:*?"<>|]+/g, '-').replace(/^[.\s-]+|[.\s-]+$/g, '');
    return title || page.songName;
  }

  function downloadSqn() {
    if (!page.assemble()) return page.say('The song has errors: mend them to download it.');
    return download(page.assembled, `${downloadName()}.sqn`, 'application/octet-stream');
  }

  // What the download boxes ask for, as sqn2wav's --loops and --fade take it.
  function renderOptions() {
    const loops = Math.min(65535, Math.max(1, Math.floor(Number($('passes').value) || 1)));
    const fade = Math.min(600, Math.max(0, Number($('fade').value) || 0));
    return { loops, fade };
  }

  // The voices as the lanes have them: what is heard is what is downloaded.
  function downloadWav() {
    if (!page.assemble()) return page.say('The song has errors: mend them to download it.');
    try {
      download(window.sqn.renderWav(page.assembled, { ...renderOptions(), muted: page.mutedVoices() }),
        `${downloadName()}.wav`, 'audio/wav');
      page.say('');
    } catch (error) {
      page.say(error.message);
    }
    return undefined;
  }

  // A voice a file, as sqn2wav --voices writes them, in one zip.
  function downloadStems() {
    if (!page.assemble()) return page.say('The song has errors: mend them to download it.');
    try {
      const name = downloadName();
      const files = {};
      for (let voice = 0; voice < 6; ++voice) {
        const muted = [0, 1, 2, 3, 4, 5].map((other) => other !== voice);
        files[`${name}-voice${voice}.wav`] = window.sqn.renderWav(page.assembled, { ...renderOptions(), muted });
      }
      download(window.SqnZip.zipSync(files, { level: 0 }), `${name}-stems.zip`, 'application/zip');
      page.say('');
    } catch (error) {
      page.say(error.message);
    }
    return undefined;
  }

  $('download-sqn').addEventListener('click', downloadSqn);
  $('download-wav').addEventListener('click', downloadWav);
  $('download-stems').addEventListener('click', downloadStems);
}
