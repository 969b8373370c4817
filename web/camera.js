// The camera as a source (sources.js has the others): opening it, the device list, and the
// messages for each way it can fail, after which the page shows the test picture instead.
import { followVideo, offerFrame } from './sources.js';

const $ = (id) => document.getElementById(id);

function cameraMessage(error, noDevice) {
  switch (error && error.name) {
    case 'NotAllowedError':
    case 'SecurityError':
      return 'Camera permission was refused (カメラの使用が許可されませんでした): showing the test picture instead. Allow the camera in the browser and choose Camera again.';
    case 'NotFoundError':
    case 'OverconstrainedError':
      return `No camera was found (${noDevice}): showing the test picture instead.`;
    case 'NotReadableError':
    case 'AbortError':
      return 'The camera could not be started (another program may be using it): showing the test picture instead.';
    default:
      return `The camera could not be opened (${error ? error.name + ': ' + error.message : 'unknown reason'}): showing the test picture instead.`;
  }
}

async function videoInputs() {
  return (await navigator.mediaDevices.enumerateDevices()).filter((d) => d.kind === 'videoinput');
}

// The ways the devices face ('user', 'environment'), where the browser says (phones, tablets).
function facings(device) {
  try {
    const modes = (device.getCapabilities && device.getCapabilities().facingMode) || [];
    return Array.isArray(modes) ? modes : [modes];
  } catch (e) {
    return [];
  }
}

/** Fills the camera list (shown when there are several) and marks the one in use; offers the
 *  front/back choice where there are cameras facing both ways. */
export async function listCameras(currentId, currentFacing) {
  const devices = await videoInputs();
  const faced = new Set(devices.flatMap(facings));
  $('facing-choice').hidden = !(faced.has('user') && faced.has('environment'));
  if (currentFacing === 'user' || currentFacing === 'environment') $('facing').value = currentFacing;
  const select = $('camera');
  select.textContent = '';
  devices.forEach((d, i) => {
    const o = document.createElement('option');
    o.value = d.deviceId;
    o.textContent = d.label || `Camera ${i + 1}`;
    if (d.deviceId === currentId) o.selected = true;
    select.appendChild(o);
  });
  $('camera-choice').hidden = devices.length < 2;
}

// The track's frames as the camera delivers them (no video element between): each is offered
// to the sink, which takes it to the worker or leaves it to be closed here. Frames the camera
// delivered that the page never read show as gaps in their timestamps.
async function readTrack(track, source, sink) {
  const reader = new MediaStreamTrackProcessor({ track }).readable.getReader();
  let last = null;
  for (;;) {
    let next;
    try {
      next = await reader.read();
    } catch (error) {
      return;  // the track ended: its ended event says so
    }
    if (next.done) return;
    const frame = next.value;
    if (source.stopped) { frame.close(); reader.cancel().catch(() => {}); return; }
    source.lastProgress = performance.now();
    const period = 1e6 / (track.getSettings().frameRate || 30);
    if (last !== null && frame.timestamp - last > 1.5 * period) sink.dropped(Math.round((frame.timestamp - last) / period) - 1);
    last = frame.timestamp;
    offerFrame(sink, frame);
  }
}

/**
 * Opens a camera: by deviceId, else by index (camera=N as given), else the one facing the way
 * asked (front or back), else the default one.
 * Resolves to { source } or, when there is none to be had, { fallback: message }.
 */
export async function openCamera({ deviceId, facing, index, size, noDevice }, sink) {
  if (!window.isSecureContext || !navigator.mediaDevices || !navigator.mediaDevices.getUserMedia)
    return { fallback: 'This page is not served from a secure origin (https or localhost), where browsers allow no camera: showing the test picture instead.' };
  let stream;
  try {
    if (!deviceId && index !== null && index !== undefined) {
      const inputs = await videoInputs();
      if (!inputs.length) throw Object.assign(new Error('no video input'), { name: 'NotFoundError' });
      const n = /^\d+$/.test(index) ? Number(index) : NaN;
      if (!(n < inputs.length))
        return { fallback: `There is no camera ${index} (there ${inputs.length === 1 ? 'is 1 camera' : 'are ' + inputs.length + ' cameras'}, counted from 0): showing the test picture instead.` };
      deviceId = inputs[n].deviceId;
    }
    const video = { width: { ideal: size.width }, height: { ideal: size.height } };
    if (deviceId) video.deviceId = { exact: deviceId };
    else if (facing) video.facingMode = { exact: facing };
    stream = await navigator.mediaDevices.getUserMedia({ video, audio: false });
  } catch (error) {
    return { fallback: cameraMessage(error, noDevice) };
  }
  const track = stream.getVideoTracks()[0];
  const element = document.createElement('video');
  element.muted = true;
  element.playsInline = true;
  element.srcObject = stream;
  const source = {
    kind: 'camera', name: 'the camera', still: false, stallable: true, stopped: false, lastProgress: performance.now(),
    start() {
      if (sink.videoFrames) readTrack(track, source, sink);
      else {
        followVideo(element, source, sink);
        element.play().catch(() => {});  // a muted stream plays; a refusal shows as a stall
      }
      const settings = track.getSettings();
      listCameras(settings.deviceId, settings.facingMode || facing).catch(() => {});
    },
    stop() {
      source.stopped = true;
      stream.getTracks().forEach((t) => t.stop());
      element.srcObject = null;
    },
    // Hidden, the page takes no frame (the browser delivers none); the camera stays open.
    pause() {},
    resume() { source.lastProgress = performance.now(); },
  };
  track.addEventListener('ended', () => {
    if (!source.stopped) sink.lost('The camera stopped: it was unplugged or taken by another tab or program. Choose a source to go on.');
  });
  return { source };
}
