// The text kept for the next visit (localStorage) and in the address,
// compressed, so that a link is the song: short links only, since chat
// programs and mail cut long ones.

const kStorageKey = 'sqn-playground';
export const kMaxLinkLength = 2000;  // characters of the whole link
const kMaxLinkText = 16 << 20;       // bytes a link's song may inflate to: what mml2sqn reads at most

export function createLinks(page) {
  let linkTimer = 0;

  function save() {
    try {
      localStorage.setItem(kStorageKey, JSON.stringify({
        text: page.editor.value, language: page.language(), name: page.songName, saved: page.savedText,
      }));
    } catch { /* storage full or refused: the link still holds the song */ }
    clearTimeout(linkTimer);
    linkTimer = setTimeout(updateLink, 300);
  }

  // The address holds the song where its link is short enough; else none.
  async function updateLink() {
    const text = page.editor.value;
    const packed = await transform(new TextEncoder().encode(text), new CompressionStream('deflate'));
    const url = new URL(location.href);
    url.hash = `${page.language()}=${base64url(packed)}`;
    if (url.href.length > kMaxLinkLength) {
      window.sqnPage.linkTooLong = url.href.length;
      url.hash = '';
      history.replaceState(null, '', url);
      return;
    }
    window.sqnPage.linkTooLong = 0;
    history.replaceState(null, '', url);
    window.sqnPage.linkText = text;  // the text the address holds now
    window.sqnPage.linkUpdated = (window.sqnPage.linkUpdated || 0) + 1;
  }

  async function copyLink() {
    await updateLink();
    if (window.sqnPage.linkTooLong) {
      page.say(`The song is too long for a link: its link would be ${window.sqnPage.linkTooLong.toLocaleString('en')} ` +
        `characters, and links past ${kMaxLinkLength.toLocaleString('en')} get cut. Download it instead.`);
      return;
    }
    try {
      await navigator.clipboard.writeText(location.href);
      page.say('The link is copied: it holds the whole song.');
    } catch {
      page.say('The address bar holds the link to this song.');
    }
  }

  // The song a link holds ({tooLong: true} where it inflates past
  // kMaxLinkText), or nothing. Links made before links were kept short
  // still open.
  async function songFromLink() {
    const match = /^#(text|mml)=([A-Za-z0-9_-]+)$/.exec(location.hash);
    if (!match) return null;
    try {
      const bytes = await inflateAtMost(fromBase64url(match[2]), kMaxLinkText);
      if (!bytes) return { tooLong: true };
      return { text: new TextDecoder().decode(bytes), language: match[1] };
    } catch {
      return null;
    }
  }

  function stored() {
    try {
      return JSON.parse(localStorage.getItem(kStorageKey) || 'null');
    } catch {
      return null;
    }
  }

  return { save, copyLink, songFromLink, stored, maxLinkText: kMaxLinkText };
}

function base64url(bytes) {
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(binary).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

function fromBase64url(text) {
  const binary = atob(text.replace(/-/g, '+').replace(/_/g, '/'));
  return Uint8Array.from(binary, (c) => c.charCodeAt(0));
}

async function transform(bytes, stream) {
  return new Uint8Array(await new Response(new Blob([bytes]).stream().pipeThrough(stream)).arrayBuffer());
}

// The bytes `packed` inflates to, or null past `limit` of them: a link of a
// few kilobytes can inflate to gigabytes, so the stream is cut there.
async function inflateAtMost(packed, limit) {
  const reader = new Blob([packed]).stream().pipeThrough(new DecompressionStream('deflate')).getReader();
  const chunks = [];
  let total = 0;
  for (;;) {
    const { done, value } = await reader.read();
    if (done) break;
    total += value.length;
    if (total > limit) {
      await reader.cancel();
      return null;
    }
    chunks.push(value);
  }
  const bytes = new Uint8Array(total);
  let at = 0;
  for (const chunk of chunks) {
    bytes.set(chunk, at);
    at += chunk.length;
  }
  return bytes;
}
