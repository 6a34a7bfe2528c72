// The page's zip writer, for the stems: fflate's, bundled by esbuild into
// the site as zip.js; page.js calls window.SqnZip.zipSync(files, options).
import { zipSync } from 'fflate';

window.SqnZip = { zipSync };
