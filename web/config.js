// The page's URL, parsed and checked once: every other module reads this record, never the URL.
export const kMaxRequestedSide = 4096;  // a camera may be asked for more than it gives; frames over 1280 are scaled

/** A size "WxH", each side 1..kMaxRequestedSide; null when it is not one. */
export function parseSize(text) {
  const match = /^(\d{1,5})x(\d{1,5})$/.exec(text || '');
  if (!match) return null;
  const width = Number(match[1]), height = Number(match[2]);
  if (width < 1 || height < 1 || width > kMaxRequestedSide || height > kMaxRequestedSide) return null;
  return { width, height };
}

export const kTextSizes = ['normal', 'large', 'larger'];

/**
 * @typedef {Object} Config
 * @property {string} source      'camera', 'test', 'file' (a /media/ file) or '' (refused)
 * @property {string} media       the /media/NAME path of a file source
 * @property {?string} camera     camera=N as given (checked against the devices when opening)
 * @property {?{width:number,height:number}} size   size=WxH, null when not given
 * @property {string[]} modes     every mode=M[@K], in order
 * @property {?string} kernel     kernel=ROWS[@K], the kernel mode's kernel in pixelwell-filter's syntax
 * @property {?string} divisor    divisor=N[@K]; either without mode= starts in the kernel mode
 * @property {?number} frames     frames=N
 * @property {boolean} record     record=1
 * @property {boolean} scalar     simd=0
 * @property {string} pipeline    worker (where the browser can) or main (pipeline=main)
 * @property {boolean} gridAsked  view=grid
 * @property {boolean} frozen     frozen=1
 * @property {boolean} loop       a video file loops (loop=0 turns it off; automated runs never loop)
 * @property {string} textSize    text=normal|large|larger, the panel's type
 * @property {boolean} automated  frames=N or record=1: the run ends by itself and saves
 * @property {string[]} errors    why the run cannot start (empty when it can)
 */

/** @returns {Config} */
export function readConfig(search) {
  const params = new URLSearchParams(search);
  const errors = [];
  const config = {
    source: 'camera', media: '', camera: params.has('camera') ? params.get('camera') : null, size: null,
    modes: params.getAll('mode'), kernel: params.get('kernel'), divisor: params.get('divisor'), frames: null, record: params.get('record') === '1', scalar: params.get('simd') === '0',
    pipeline: params.get('pipeline') === 'main' ? 'main' : 'worker',
    frozen: params.get('frozen') === '1', loop: params.get('loop') !== '0', textSize: 'normal', automated: false, errors,
  };
  const source = params.get('source') || 'camera';
  if (source === 'camera' || source === 'test') config.source = source;
  else if (source.startsWith('/media/')) {
    config.source = 'file';
    config.media = source;
    if (source === '/media/') errors.push('source=/media/ names no file: give one, as source=/media/NAME.');
  } else {
    config.source = '';
    errors.push(`source=${source}: use camera, test or /media/NAME.`);
  }
  if (params.has('size')) {
    config.size = parseSize(params.get('size'));
    if (!config.size)
      errors.push(`size=${params.get('size')}: give the size as WxH, each side from 1 to ${kMaxRequestedSide}, for example 640x480.`);
  }
  if (params.has('frames')) {
    const frames = Number(params.get('frames'));
    if (!/^\d+$/.test(params.get('frames')) || !Number.isSafeInteger(frames) || frames < 1)
      errors.push(`frames=${params.get('frames')}: give a whole number of frames, 1 or more.`);
    else config.frames = frames;
  }
  if (params.has('pipeline') && !['main', 'worker'].includes(params.get('pipeline')))
    errors.push(`pipeline=${params.get('pipeline')}: use main (frames on the page's main thread) or worker.`);
  // Every operation at once, a core per cell.
  config.gridAsked = params.get('view') === 'grid';
  if (params.has('view') && !['single', 'grid'].includes(params.get('view')))
    errors.push(`view=${params.get('view')}: use single (one operation) or grid (every operation at once).`);
  if (params.has('text')) {
    if (kTextSizes.includes(params.get('text'))) config.textSize = params.get('text');
    else errors.push(`text=${params.get('text')}: use ${kTextSizes.join(', ')}.`);
  }
  config.automated = config.frames !== null || config.record;
  if (config.automated) config.loop = false;
  return config;
}
