// Pixelwell in the browser: frames from a camera, a video file or the test picture go through the
// core (WebAssembly, built from the same sources as the program) and both views are drawn.
// The page only moves pixels between its canvases and the module's buffers.
'use strict';

(() => {
  const root = document.documentElement;
  const $ = (id) => document.getElementById(id);
  const params = new URLSearchParams(location.search);
  const kRecordLimit = 1 << 30;  // bytes of frames and results kept for the downloads
  const kStallMs = 5000;         // a camera that delivers nothing this long is taken as lost

  let m = null;              // the module
  let heap = null;           // its memory, which never grows
  let texts = {};
  const run = {
    source: null,            // {kind, stop()}
    width: 0, height: 0,
    frames: 0,               // processed since the run (or the recording) started
    limit: Number.POSITIVE_INFINITY,
    recording: false, recordBytes: 0, raw: [], results: [],
    log: [],                 // the mode switches as applied: [frame, mode]
    ended: false,
    testFrame: 0,
    lastFrameAt: 0,
  };
  const stats = { capture: 0, process: 0, draw: 0, dropped: 0, times: [], shown: 0, sums: [0, 0, 0], count: 0 };

  // --- messages and state ------------------------------------------------------------------
  function setState(state) { root.dataset.state = state; }
  function showError(text) {
    $('error').textContent = text;
    root.dataset.error = text;
  }
  function clearError() { $('error').textContent = ''; delete root.dataset.error; }
  function notice(text) { $('notice').textContent = text; }
  function fail(text) {  // the run could not start
    showError(text);
    setState('error');
  }

  // --- the module ------------------------------------------------------------------------------
  // A module holding one SIMD128 instruction validates only where WebAssembly SIMD exists.
  function hasSimd() {
    try {
      return WebAssembly.validate(new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3,
        2, 1, 0, 10, 10, 1, 8, 0, 65, 0, 253, 15, 253, 98, 11]));
    } catch (e) { return false; }
  }

  function loadScript(src) {
    return new Promise((resolve, reject) => {
      const s = document.createElement('script');
      s.src = src;
      s.onload = resolve;
      s.onerror = () => reject(new Error(`${src} could not be loaded`));
      document.head.appendChild(s);
    });
  }

  async function loadModule() {
    if (typeof WebAssembly !== 'object') throw new Error('This browser has no WebAssembly: the page cannot run here.');
    const simd = hasSimd();
    const wanted = params.get('simd') === '0' ? 'scalar' : simd ? 'simd' : 'scalar';
    await loadScript(`pixelwell-${wanted}.js`);
    m = await createPixelwell();
    m._pw_init();
    heap = m.HEAPU8;
    root.dataset.build = wanted;
    const str = (p) => m.UTF8ToString(p);
    root.dataset.version = str(m._pw_version());
    $('version').textContent = `Pixelwell ${root.dataset.version}`;
    texts = { control: str(m._pw_text(0)), result: str(m._pw_text(1)), tooLarge: str(m._pw_text(2)),
              noDevice: str(m._pw_text(3)) };
    if (!simd) return 'This browser has no WebAssembly SIMD: the scalar build is used (the same results, more slowly).';
    if (wanted === 'scalar') return 'simd=0: the scalar build is used.';
    return '';
  }

  // --- operations ------------------------------------------------------------------------------
  const positions = [];
  function buildMenu() {
    const select = $('mode');
    for (let p = 0; p < m._pw_positions(); ++p) {
      const op = { id: m._pw_position_mode(p), label: m.UTF8ToString(m._pw_position_label(p)),
                   name: m.UTF8ToString(m._pw_position_name(p)), key: m.UTF8ToString(m._pw_position_key(p)) };
      positions.push(op);
      const o = document.createElement('option');
      o.value = String(op.id);
      o.textContent = `${op.label ? op.label + ' ' : ''}${op.name} [${op.key}]`;
      select.appendChild(o);
    }
    select.addEventListener('change', () => choose(Number(select.value)));
  }

  function syncMenu() {
    const p = m._pw_position_of_mode(m._pw_mode());
    $('mode').value = p >= 0 ? String(positions[p].id) : '';
    $('result-title').textContent = `${texts.result} ${p >= 0 && positions[p].label ? positions[p].label + ' ' : ''}` +
      `${p >= 0 ? positions[p].name : m.UTF8ToString(m._pw_mode_name(m._pw_mode()))}`;
  }

  // Chosen as the menu command: the reference modes take a new reference.
  function choose(mode) {
    m._pw_select_mode(mode);
    run.log.push([run.frames, mode]);
    syncMenu();
    updateCommand();
  }

  function step(delta) {
    const p = Math.max(0, m._pw_position_of_mode(m._pw_mode()));
    choose(positions[(p + delta + positions.length) % positions.length].id);
  }

  function onKey(e) {
    if (e.ctrlKey || e.altKey || e.metaKey) return;
    const tag = e.target && e.target.tagName;
    if (tag === 'SELECT' || tag === 'INPUT') return;
    const key = e.key.length === 1 ? e.key.toLowerCase() : e.key;
    if (key === 'ArrowRight' || key === 'n') step(1);
    else if (key === 'ArrowLeft' || key === 'p') step(-1);
    else if (key === 'r') {
      const mode = m._pw_mode();
      if (mode === 1407 || mode === 1408) choose(mode);
      else notice('r takes a new reference in simple-diff (d) and diff (e) only');
    } else if (key.length === 1) {
      const p = m._pw_position_for_key(key.charCodeAt(0));
      if (p < 0) return;
      choose(positions[p].id);
    } else return;
    e.preventDefault();
  }

  // --- the reproducing command -------------------------------------------------------------------
  function filterCommand() {
    const switches = run.log.map(([k, mode]) => {
      const name = m.UTF8ToString(m._pw_mode_name(mode));
      return `--mode ${k ? name + '@' + k : name}`;
    });
    if (!run.log.length || run.log[0][0] !== 0) switches.unshift('--mode none');
    return `pixelwell-filter --size ${run.width}x${run.height} ${switches.join(' ')} recording.raw results.bgrx`;
  }
  function updateCommand() {
    if (!run.width) return;
    const command = filterCommand();
    root.dataset.filterCommand = command;
    $('command').textContent = command;
    $('command-line').hidden = false;
  }

  // --- recording -----------------------------------------------------------------------------------
  // From the next frame on: the core back to its start, so the command reproduces every frame.
  function startRecording() {
    const mode = m._pw_mode();
    m._pw_reset();
    run.frames = 0;
    run.testFrame = 0;
    run.log = [];
    run.raw = [];
    run.results = [];
    run.recordBytes = 0;
    run.recording = true;
    choose(mode);
    $('record').classList.add('recording');
    $('record').textContent = '■ Stop and save / 停止';
  }

  function download(name, chunks) {
    const a = document.createElement('a');
    a.href = URL.createObjectURL(new Blob(chunks, { type: 'application/octet-stream' }));
    a.download = name;
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 60000);
  }

  function saveRecording() {
    run.recording = false;
    $('record').classList.remove('recording');
    $('record').textContent = '● Record / 録画';
    if (!run.raw.length) return;
    download('recording.raw', run.raw);
    download('results.bgrx', run.results);
    notice(`Saved ${run.raw.length} frames: recording.raw and results.bgrx. ${filterCommand()}`);
    run.raw = [];
    run.results = [];
  }

  // The run ends: frames reached, the source ended or was lost, the size changed, or the limit.
  function endRun(why, message) {
    if (run.ended) return;
    run.ended = true;
    root.dataset.ended = why;
    if (message) showError(message);
    if (run.source) run.source.stop();
    if (run.recording) saveRecording();
    setState('done');
  }

  // The means per frame since the page started, for benchmarks.
  function showMeans() {
    if (!stats.count) return;
    root.dataset.msCapture = (stats.sums[0] / stats.count).toFixed(3);
    root.dataset.msProcess = (stats.sums[1] / stats.count).toFixed(3);
    root.dataset.msDraw = (stats.sums[2] / stats.count).toFixed(3);
    root.dataset.dropped = String(stats.dropped);
  }

  // --- one frame -----------------------------------------------------------------------------------
  const sourceView = $('source-view');
  const resultView = $('result-view');
  const sourceContext = sourceView.getContext('2d', { colorSpace: 'srgb' });
  const resultContext = resultView.getContext('2d', { colorSpace: 'srgb' });
  const grab = document.createElement('canvas');
  const grabContext = grab.getContext('2d', { willReadFrequently: true, colorSpace: 'srgb', alpha: false });

  function fitCanvas(canvas, w, h) {
    if (canvas.width !== w) canvas.width = w;
    if (canvas.height !== h) canvas.height = h;
  }

  // Whether a frame of this size may be processed; a frame over 1280 is shown only.
  function acceptSize(w, h) {
    if (w > 1280 || h > 1280) {
      showError(`${texts.tooLarge} (${w}x${h})`);
      return false;
    }
    if (run.width && (w !== run.width || h !== run.height)) {
      if (run.recording && params.get('record') === '1') {
        endRun('size-changed', `The frame size changed from ${run.width}x${run.height} to ${w}x${h}: a recording holds one size.`);
        return false;
      }
      if (run.recording) saveRecording();
    }
    if (w !== run.width || h !== run.height) {
      run.width = w;
      run.height = h;
      m._pw_set_size(w, h);
      root.dataset.width = String(w);
      root.dataset.height = String(h);
      fitCanvas(resultView, w, h);
      updateCommand();
    }
    return true;
  }

  // Processes the frame in the module's Frame buffer (and its picture in SourceRgba).
  function processAndDraw(started, captured, sourceImage) {
    const w = run.width, h = run.height;
    const switches = m._pw_schedule_apply(run.frames);
    for (let i = 0; i < switches; ++i) run.log.push([run.frames, m._pw_schedule_at(run.frames, i)]);
    if (switches) { syncMenu(); updateCommand(); }
    m._pw_process();
    const processed = performance.now();
    fitCanvas(sourceView, w, h);
    sourceContext.putImageData(sourceImage, 0, 0);
    const rgba = m._pw_result_rgba();
    resultContext.putImageData(new ImageData(new Uint8ClampedArray(heap.buffer, rgba, w * h * 4).slice(), w, h), 0, 0);
    const drawn = performance.now();
    if (run.recording) {
      const bytes = w * h * 7;
      if (run.recordBytes + bytes > kRecordLimit) {
        endRun('record-limit', `The recording reached its limit of 1 GiB after ${run.raw.length} frames: saved as it is.`);
        return;
      }
      run.raw.push(heap.slice(m._pw_frame(), m._pw_frame() + w * h * 3));
      run.results.push(heap.slice(m._pw_result(), m._pw_result() + w * h * 4));
      run.recordBytes += bytes;
    }
    run.frames += 1;
    root.dataset.frames = String(run.frames);
    const a = 0.1;
    stats.capture += a * (captured - started - stats.capture);
    stats.process += a * (processed - captured - stats.process);
    stats.draw += a * (drawn - processed - stats.draw);
    stats.sums[0] += captured - started;
    stats.sums[1] += processed - captured;
    stats.sums[2] += drawn - processed;
    stats.count += 1;
    stats.times.push(drawn);
    while (stats.times.length && stats.times[0] < drawn - 1000) stats.times.shift();
    if (drawn - stats.shown > 250) {
      stats.shown = drawn;
      $('stats').textContent = `${stats.times.length} fps · ${w}x${h} · capture and conversion ${stats.capture.toFixed(2)} ms, ` +
        `processing ${stats.process.toFixed(2)} ms, drawing ${stats.draw.toFixed(2)} ms · dropped ${stats.dropped} · ` +
        `frames ${run.frames}${run.recording ? ' (recording)' : ''}`;
      showMeans();
    }
    if (run.frames >= run.limit) { showMeans(); endRun('frames'); }
  }

  // A video element's current frame, read once at its own size.
  function videoFrame(video) {
    const started = performance.now();
    const w = video.videoWidth, h = video.videoHeight;
    if (!w || !h) return;
    run.lastFrameAt = started;
    if (!acceptSize(w, h)) {
      fitCanvas(sourceView, w, h);  // the preview goes on
      sourceContext.drawImage(video, 0, 0);
      return;
    }
    if ($('error').textContent.startsWith(texts.tooLarge)) clearError();
    fitCanvas(grab, w, h);
    grabContext.drawImage(video, 0, 0, w, h);
    const image = grabContext.getImageData(0, 0, w, h, { colorSpace: 'srgb' });
    heap.set(image.data, m._pw_source_rgba());
    m._pw_frame_from_rgba();
    processAndDraw(started, performance.now(), image);
  }

  // Every new frame of the video, once: requestVideoFrameCallback where there is one.
  function followVideo(video, isCurrent) {
    if ('requestVideoFrameCallback' in HTMLVideoElement.prototype) {
      let last = -1;
      const onFrame = (now, meta) => {
        if (!isCurrent() || run.ended) return;
        if (last >= 0 && meta.presentedFrames > last + 1) stats.dropped += meta.presentedFrames - last - 1;
        last = meta.presentedFrames;
        videoFrame(video);
        video.requestVideoFrameCallback(onFrame);
      };
      video.requestVideoFrameCallback(onFrame);
    } else {
      let lastTime = -1;
      const onAnimation = () => {
        if (!isCurrent() || run.ended) return;
        if (video.currentTime !== lastTime) { lastTime = video.currentTime; videoFrame(video); }
        requestAnimationFrame(onAnimation);
      };
      requestAnimationFrame(onAnimation);
    }
  }

  // --- sources ---------------------------------------------------------------------------------------
  let generation = 0;  // a source started later makes the earlier one's callbacks stop
  function stopSource() {
    generation += 1;
    if (run.source) run.source.stop();
    run.source = null;
  }

  function requestedSize() {
    const text = params.get('size') || $('size').value;
    const match = /^(\d+)x(\d+)$/.exec(text);
    if (!match) return null;
    return { width: Number(match[1]), height: Number(match[2]) };
  }

  function startTest(reason) {
    stopSource();
    const mine = generation;
    $('source').value = 'test';
    notice(reason || '');
    const size = requestedSize() || { width: 640, height: 480 };
    let timer = 0;
    run.source = { kind: 'test', stop: () => clearTimeout(timer) };
    const tick = () => {
      if (mine !== generation || run.ended) return;
      const started = performance.now();
      if (acceptSize(size.width, size.height)) {
        fitCanvas(sourceView, size.width, size.height);
        m._pw_test_picture(run.testFrame++);
        const image = new ImageData(new Uint8ClampedArray(heap.buffer, m._pw_source_rgba(), size.width * size.height * 4).slice(),
                                    size.width, size.height);
        processAndDraw(started, performance.now(), image);
      }
      timer = setTimeout(tick, Math.max(0, 1000 / 30 - (performance.now() - started)));
    };
    tick();
    return true;
  }

  function cameraMessage(error) {
    switch (error && error.name) {
      case 'NotAllowedError':
      case 'SecurityError':
        return 'Camera permission was refused (カメラの使用が許可されませんでした): showing the test picture instead. Allow the camera in the browser and choose Camera again.';
      case 'NotFoundError':
      case 'OverconstrainedError':
        return `No camera was found (${texts.noDevice}): showing the test picture instead.`;
      case 'NotReadableError':
      case 'AbortError':
        return 'The camera could not be started (another program may be using it): showing the test picture instead.';
      default:
        return `The camera could not be opened (${error ? error.name + ': ' + error.message : 'unknown reason'}): showing the test picture instead.`;
    }
  }

  async function listCameras(currentId) {
    const devices = (await navigator.mediaDevices.enumerateDevices()).filter((d) => d.kind === 'videoinput');
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
    return devices;
  }

  async function startCamera(deviceId) {
    stopSource();
    const mine = generation;
    $('source').value = 'camera';
    if (!window.isSecureContext || !navigator.mediaDevices || !navigator.mediaDevices.getUserMedia)
      return startTest('This page is not served from a secure origin (https or localhost), where browsers allow no camera: showing the test picture instead.');
    const size = requestedSize() || { width: 640, height: 480 };
    let stream;
    try {
      if (deviceId === undefined && params.has('camera')) {
        const index = Number(params.get('camera'));
        const inputs = (await navigator.mediaDevices.enumerateDevices()).filter((d) => d.kind === 'videoinput');
        if (!inputs.length) throw Object.assign(new Error('no video input'), { name: 'NotFoundError' });
        if (!(index >= 0 && index < inputs.length))
          return startTest(`There is no camera ${params.get('camera')} (there ${inputs.length === 1 ? 'is 1 camera' : 'are ' + inputs.length + ' cameras'}, counted from 0): showing the test picture instead.`);
        deviceId = inputs[index].deviceId;
      }
      const video = { width: { ideal: size.width }, height: { ideal: size.height } };
      if (deviceId) video.deviceId = { exact: deviceId };
      stream = await navigator.mediaDevices.getUserMedia({ video, audio: false });
    } catch (error) {
      if (mine !== generation) return false;
      return startTest(cameraMessage(error));
    }
    if (mine !== generation) { stream.getTracks().forEach((t) => t.stop()); return false; }
    const track = stream.getVideoTracks()[0];
    const element = document.createElement('video');
    element.muted = true;
    element.playsInline = true;
    element.srcObject = stream;
    let stall = 0;
    run.source = {
      kind: 'camera',
      stop: () => { clearInterval(stall); stream.getTracks().forEach((t) => t.stop()); element.srcObject = null; },
    };
    track.addEventListener('ended', () => {
      if (mine !== generation) return;
      lost('The camera stopped: it was unplugged or taken by another tab or program. Choose a source to go on.');
    });
    notice('');
    clearError();
    followVideo(element, () => mine === generation);
    run.lastFrameAt = performance.now();
    stall = setInterval(() => {
      if (mine === generation && performance.now() - run.lastFrameAt > kStallMs)
        lost(`The camera has delivered no frame for ${kStallMs / 1000} s. Choose a source to go on.`);
    }, 1000);
    try { await element.play(); } catch (e) { /* a muted stream plays; a refusal shows as a stall */ }
    listCameras(track.getSettings().deviceId).catch(() => {});
    return true;
  }

  // The source went away: an automated run ends there; otherwise the page waits for a choice.
  function lost(message) {
    if (params.has('frames') || params.get('record') === '1') {
      endRun('source-lost', message);
      return;
    }
    stopSource();
    if (run.recording) saveRecording();
    showError(message);
  }

  function startFile(url, name, atStart) {
    stopSource();
    const mine = generation;
    notice('');
    clearError();
    const element = document.createElement('video');
    element.muted = true;
    element.playsInline = true;
    element.src = url;
    run.source = { kind: 'file', stop: () => { element.pause(); element.removeAttribute('src'); element.load(); } };
    element.addEventListener('error', () => {
      if (mine !== generation) return;
      const message = `The browser cannot decode ${name}: choose another file or source.`;
      stopSource();
      if (atStart) fail(message); else showError(message);
    });
    element.addEventListener('ended', () => {
      if (mine !== generation) return;
      if (params.has('frames') || params.get('record') === '1') endRun('source-ended');
      else notice(`${name} has ended.`);
    });
    followVideo(element, () => mine === generation);
    element.play().catch(() => {});
    return true;
  }

  // --- start ---------------------------------------------------------------------------------------------
  function readSchedule() {
    m._pw_schedule_clear();
    for (const text of params.getAll('mode')) {
      const buffer = m._malloc(m.lengthBytesUTF8(text) + 1);
      m.stringToUTF8(text, buffer, m.lengthBytesUTF8(text) + 1);
      const ok = m._pw_schedule_add(buffer);
      m._free(buffer);
      if (!ok) throw new Error(`mode=${text}: ${m.UTF8ToString(m._pw_message())}`);
    }
  }

  function wireControls() {
    $('source').addEventListener('change', () => {
      const kind = $('source').value;
      run.ended = false;
      clearError();
      if (kind === 'camera') startCamera($('camera').value || undefined);
      else if (kind === 'test') startTest('');
      else $('file').click();
    });
    $('camera').addEventListener('change', () => { run.ended = false; clearError(); startCamera($('camera').value); });
    $('size').addEventListener('change', () => {
      params.set('size', $('size').value);
      run.ended = false;
      if ($('source').value === 'camera') startCamera($('camera').value || undefined);
      else if ($('source').value === 'test') startTest('');
    });
    $('file').addEventListener('change', () => {
      const file = $('file').files[0];
      if (!file) return;
      run.ended = false;
      startFile(URL.createObjectURL(file), file.name, false);
    });
    $('record').addEventListener('click', () => (run.recording ? saveRecording() : startRecording()));
    document.addEventListener('keydown', onKey);
  }

  async function main() {
    if (location.protocol === 'file:') {
      fail('This page was opened from a file (file://), where browsers allow neither the camera nor loading its WebAssembly. ' +
           'Serve the folder instead: run scripts/web in the project (it prints the address to open), ' +
           'or "python3 -m http.server 8000" in this folder and open http://127.0.0.1:8000/');
      return;
    }
    let buildNote;
    try {
      buildNote = await loadModule();
      readSchedule();
    } catch (error) {
      fail(error.message || String(error));
      return;
    }
    $('source-title').textContent = texts.control;
    buildMenu();
    syncMenu();
    wireControls();
    if (params.has('size')) {
      const size = requestedSize();
      if (!size) { fail(`size=${params.get('size')}: give the size as WxH, for example 640x480.`); return; }
      if ([...$('size').options].some((o) => o.value === params.get('size'))) $('size').value = params.get('size');
    }
    if (params.has('frames')) {
      const frames = Number(params.get('frames'));
      if (!Number.isInteger(frames) || frames < 1) { fail(`frames=${params.get('frames')}: give a whole number of frames, 1 or more.`); return; }
      run.limit = frames;
    }
    if (params.get('record') === '1') run.recording = true;
    if (run.recording) {
      $('record').classList.add('recording');
      $('record').textContent = '■ Stop and save / 停止';
    }
    setState('running');
    const source = params.get('source') || 'camera';
    let started;
    if (source === 'test') started = startTest('');
    else if (source === 'camera') started = await startCamera(undefined);
    else if (source.startsWith('/media/')) { $('source').value = 'file'; started = startFile(source, source.slice(7), true); }
    else { fail(`source=${source}: use camera, test or /media/NAME.`); return; }
    if (buildNote) notice([buildNote, $('notice').textContent].filter(Boolean).join('\n'));
    return started;
  }

  main();
})();
