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
    frozen: false,           // Space: the source's frames are not processed, both views hold
    steps: 0,                // frames still to process while frozen ('.')
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
    else if (key === ' ') toggleFreeze();
    else if (key === '.') stepOnce();
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

  // --- freeze and step ---------------------------------------------------------------------------
  // While frozen, frames that arrive are dropped unseen; a mode chosen meanwhile is selected in
  // the core at once and so takes effect at the next frame processed, as the log records it.
  function frozenNow() { return run.frozen && run.steps === 0; }
  function showFrozen() {
    root.dataset.frozen = run.frozen ? '1' : '0';
    $('freeze').classList.toggle('frozen', run.frozen);
    $('freeze').textContent = run.frozen ? '▶ Go on / 再開 [Space]' : '❚❚ Freeze / 停止 [Space]';
  }
  function toggleFreeze() {
    run.frozen = !run.frozen;
    run.steps = 0;
    showFrozen();
  }
  function stepOnce() {
    if (!run.frozen) { run.frozen = true; showFrozen(); return; }
    run.steps += 1;
  }

  // --- snapshot ----------------------------------------------------------------------------------
  // Both views and the panel as PNG files named by the frame shown and its mode.
  function canvasBlob(canvas) { return new Promise((resolve) => canvas.toBlob(resolve, 'image/png')); }
  function panelCanvas() {
    const node = $('panel');
    const lines = [$('panel-title').textContent, $('panel-ja').textContent, $('panel-en').textContent];
    const kernel = [...$('panel-kernel').rows].map((r) => [...r.cells].map((c) => c.textContent.padStart(4)).join(' '));
    const tail = [$('panel-numbers').textContent, $('panel-frames').textContent].join('\n').split('\n').filter(Boolean);
    const chart = $('panel-chart');
    const canvas = document.createElement('canvas');
    const g = canvas.getContext('2d');
    const wrap = (text, width) => {  // words (or characters, for Japanese) into lines that fit
      g.font = '14px sans-serif';
      const out = [];
      let line = '';
      for (const piece of text.split(/(?<= )|(?<=[、。）])/)) {
        if (line && g.measureText(line + piece).width > width) { out.push(line); line = ''; }
        line += piece;
      }
      if (line) out.push(line);
      return out;
    };
    const width = 560;
    const text = lines.flatMap((t) => wrap(t, width - 20));
    const tailText = tail.flatMap((t) => wrap(t, width - 20));
    const height = 10 + 20 * text.length + (kernel.length ? 20 * kernel.length + 10 : 0) +
                   (chart.hidden ? 0 : chart.height + 10) + 20 * tailText.length + 10;
    canvas.width = width;
    canvas.height = height;
    g.fillStyle = '#202124';
    g.fillRect(0, 0, width, height);
    g.fillStyle = '#e8eaed';
    g.textBaseline = 'top';
    let y = 10;
    g.font = '14px sans-serif';
    for (const t of text) { g.fillText(t, 10, y); y += 20; }
    g.font = '14px monospace';
    for (const t of kernel) { g.fillText(t, 10, y); y += 20; }
    if (kernel.length) y += 10;
    if (!chart.hidden) { g.drawImage(chart, 10, y); y += chart.height + 10; }
    g.font = '14px sans-serif';
    for (const t of tailText) { g.fillText(t, 10, y); y += 20; }
    node.dataset.snapshotHeight = String(height);
    return canvas;
  }
  async function snapshot() {
    refreshPanel(true);
    const frame = $('panel').dataset.frame || '0';
    const base = `pixelwell-${frame.padStart(6, '0')}-${$('panel').dataset.mode || 'none'}`;
    const files = [[`${base}-viewer.png`, sourceView], [`${base}-result.png`, resultView], [`${base}-panel.png`, panelCanvas()]];
    for (const [name, canvas] of files) download(name, [await canvasBlob(canvas)]);
    notice(`Saved ${files.map(([n]) => n).join(', ')}`);
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
    processedSerial += 1;
    if (run.steps > 0) run.steps -= 1;
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
    if (run.frozen) refreshPanel(true);  // a step: its numbers at once
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
    if (frozenNow()) return;
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

  // --- the teaching panel ----------------------------------------------------------------------------
  // The core's own numbers for the last frame processed (pw_explain, slow: a few times a second
  // and after a step, never on every frame). Offsets into the block pw_explain fills.
  const EX = { drawn: 0, frame: 1, mode: 2, width: 3, height: 4, min: 5, max: 6, counted: 7, cutLow: 8, cutHigh: 9,
               stretched: 10, clippedLow: 11, clippedHigh: 12, threshold: 13, frameCount: 14, reference: 15,
               kernelSize: 16, divisor: 17, weights: 18, frames: 43, histogram: 51, levels: 307, fields: 563 };
  const kFilterText = {
    ja: '濃淡画像に下のカーネルを掛けて除数で割り、その値の範囲（最小〜最大）を 0〜255 に正規化します。両端 5 % を切り捨て、残りを 256 階調に引き伸ばします（右のグラフ）。',
    en: 'The gray picture is convolved with the kernel below and divided by its divisor; the values\' range (min to max) is normalised to 0–255, the 5 % at each end are cut, and the rest is stretched over the 256 levels (the mapping on the right).',
  };
  function familyText(mode) {
    if (mode >= 1411 && mode <= 1434) return kFilterText;
    switch (mode) {
      case 1400: return { ja: '処理なし：結果の表示は最後に描いた画像のままです。', en: 'Nothing is processed: the result view keeps what was last drawn.' };
      case 1401: return { ja: '入力フレームをそのまま表示します。', en: 'The frame as it arrives, unchanged.' };
      case 1402: return { ja: '各色の値 v を 255 − v にして、明暗と色を反転します。', en: 'Each colour level v becomes 255 − v: light and colour are inverted.' };
      case 1403: case 1404: case 1405:
        return { ja: '直近のフレームの同じ画素の平均です。動くものはぼやけて尾を引き、ノイズは減ります。', en: 'Each pixel is the mean of the same pixel in the last frames: what moves blurs and trails, noise falls.' };
      case 1406: return { ja: '前のフレームとの差です。動いた部分だけが明るく現れます。', en: 'The difference from the frame before: only what moved shows.' };
      case 1407: case 1408:
        return { ja: 'モードを選んだときに撮った基準フレームとの差です（r で撮り直し）。基準から変わった部分が現れます。', en: 'The difference from a reference frame taken when the mode was chosen (r takes a new one): what changed since then shows.' };
      case 1409: return { ja: 'R・G・B の重み付き和で濃淡画像にします。', en: 'The gray level, a weighted sum of R, G and B.' };
      case 1441: return { ja: '各画素を 3×3 近傍の最小値にします。暗い部分が広がります。', en: 'Each pixel becomes the minimum of its 3×3 neighbourhood: dark areas grow.' };
      case 1442: return { ja: '各画素を 3×3 近傍の最大値にします。明るい部分が広がります。', en: 'Each pixel becomes the maximum of its 3×3 neighbourhood: bright areas grow.' };
      case 1443: return { ja: '各画素を 3×3 近傍の中央値にします。点状のノイズが消え、輪郭は残ります。', en: 'Each pixel becomes the median of its 3×3 neighbourhood: specks vanish, edges stay.' };
      case 1444: return { ja: '各画素を 3×3 近傍の平均値にします。全体がぼやけます。', en: 'Each pixel becomes the mean of its 3×3 neighbourhood: the picture blurs.' };
      case 1451: return { ja: '濃淡値を 0〜255 に正規化し、画素の半数に達する値（中央値）をしきい値として白と黒に分けます。', en: 'The gray levels, normalised to 0–255, are split at the median: the lowest level whose cumulative count reaches half the pixels is the threshold, and each pixel becomes black or white.' };
      default: return { ja: 'メニューにないモードです。', en: 'A mode the menu does not hold.' };
    }
  }

  const panel = { serial: -1, block: null, chart: null };
  let processedSerial = 0;  // frames processed since the page started

  function modeName(mode) { return m.UTF8ToString(m._pw_mode_name(mode)); }

  function framesText(b) {
    const mode = b[EX.mode], frame = b[EX.frame];
    const list = (n) => [...Array(n).keys()].map((i) => b[EX.frames + i]);
    const black = (ns) => (ns.some((n) => n < 1) ? ' (a number below 1 is a slot still holding the black of start-up)' : '');
    if (mode >= 1403 && mode <= 1405) {
      const ns = list(b[EX.frameCount]);
      return `Frames combined: this frame and the ${ns.length - 1} before (${ns.join(', ')})${black(ns)}\n` +
             `合成したフレーム：このフレームと直前の ${ns.length - 1} フレーム`;
    }
    if (mode === 1406) {
      const ns = list(2);
      return `Frames combined: this frame and the one before (${ns.join(', ')})${black(ns)}\n合成したフレーム：このフレームと直前のフレーム`;
    }
    if (mode === 1407 || mode === 1408) {
      const at = b[EX.reference];
      return `Frames combined: this frame (${frame}) and ${at ? `the reference taken at frame ${at}` : 'the black of start-up as reference'}\n` +
             `合成したフレーム：このフレームと ${at ? `フレーム ${at} で撮った基準` : '起動時の黒（基準）'}`;
    }
    return '';
  }

  function kernelTable(b) {
    const table = $('panel-kernel');
    table.textContent = '';
    const size = b[EX.kernelSize];
    table.hidden = !size;
    for (let r = 0; r < size; ++r) {
      const tr = table.insertRow();
      for (let c = 0; c < size; ++c) tr.insertCell().textContent = String(b[EX.weights + 5 * r + c]);
      if (r === (size >> 1)) {
        const d = tr.insertCell();
        d.className = 'divisor';
        d.textContent = `÷ ${b[EX.divisor]}`;
      }
    }
  }

  // Left: the histogram of the normalised levels (log scale of counts would hide the cuts'
  // meaning, so linear, clipped at the tallest bar but one); right: the level mapping.
  function drawChart(b, kernel, binarize) {
    const canvas = $('panel-chart');
    const show = b[EX.counted] && (kernel || binarize);
    canvas.hidden = !show;
    if (!show) return;
    const g = canvas.getContext('2d');
    const H = canvas.height, top = 16, base = H - 20;
    g.fillStyle = '#202124';
    g.fillRect(0, 0, canvas.width, H);
    const counts = [...Array(256).keys()].map((v) => b[EX.histogram + v]);
    const sorted = [...counts].sort((x, y) => y - x);
    const scale = Math.max(1, sorted[1] || sorted[0]);
    g.fillStyle = '#9aa0a6';
    for (let v = 0; v < 256; ++v) {
      const h = Math.min(1, counts[v] / scale) * (base - top);
      g.fillRect(8 + v, base - h, 1, h);
    }
    g.font = '12px sans-serif';
    g.fillStyle = '#e8eaed';
    g.fillText(binarize ? 'gray histogram / 濃淡ヒストグラム' : 'normalised values / 正規化した値', 8, 12);
    g.fillText('0', 8, H - 6);
    g.fillText('255', 8 + 236, H - 6);
    const mark = (v, colour, label) => {
      g.fillStyle = colour;
      g.fillRect(8 + v, top, 1, base - top);
      g.fillText(label, Math.min(8 + v + 3, 8 + 200), top + 12);
    };
    if (kernel && b[EX.cutLow] >= 0) {  // low's label to the left of its line, high's to the right
      const low = b[EX.cutLow], high = b[EX.cutHigh];
      g.fillStyle = '#f28b82';
      g.fillRect(8 + low, top, 1, base - top);
      const label = `low ${low}`;
      g.fillText(label, Math.max(0, 8 + low - 3 - g.measureText(label).width), top + 12);
      g.fillStyle = '#fdd663';
      g.fillRect(8 + high, top, 1, base - top);
      g.fillText(`high ${high}`, Math.min(8 + high + 3, 8 + 200), top + 12);
    }
    if (binarize && b[EX.threshold] >= 0) mark(b[EX.threshold], '#8ab4f8', `threshold ${b[EX.threshold]}`);
    // The level each normalised level is shown at.
    const x0 = 284, size = base - top;
    g.strokeStyle = '#5f6368';
    g.strokeRect(x0 + 0.5, top + 0.5, 255, size);
    g.fillStyle = '#e8eaed';
    g.fillText('level mapping / 階調の対応', x0, 12);
    g.fillText('in 0–255 →', x0, H - 6);
    g.strokeStyle = '#81c995';
    g.beginPath();
    for (let v = 0; v < 256; ++v) {
      const y = base - (b[EX.levels + v] / 255) * size;
      if (v) g.lineTo(x0 + v + 0.5, y); else g.moveTo(x0 + 0.5, y);
    }
    g.stroke();
  }

  function setData(name, value) { $('panel').dataset[name] = value === null ? '' : String(value); }

  // Reads the explanation of the last frame processed into the panel, when there is a new one.
  function refreshPanel(force) {
    if (!m || (!force && panel.serial === processedSerial)) return;
    panel.serial = processedSerial;
    const b = new Int32Array(heap.buffer, m._pw_explain(), EX.fields).slice();
    panel.block = b;
    const mode = b[EX.mode], frame = b[EX.frame];
    const kernel = b[EX.kernelSize] > 0, binarize = mode === 1451;
    const text = familyText(mode);
    const p = m._pw_position_of_mode(mode);
    $('panel-title').textContent = `Frame ${frame} · ${p >= 0 && positions[p].label ? positions[p].label + ' ' : ''}${modeName(mode)}`;
    $('panel-ja').textContent = text.ja;
    $('panel-en').textContent = text.en;
    kernelTable(b);
    drawChart(b, kernel, binarize);
    const ranged = (kernel || binarize) && b[EX.drawn] && b[EX.min] <= b[EX.max];
    const cuts = kernel && b[EX.drawn] && b[EX.cutLow] >= 0;
    const threshold = binarize && b[EX.drawn] && b[EX.threshold] >= 0;
    setData('frame', frame || null);
    setData('mode', modeName(mode));
    setData('min', ranged ? b[EX.min] : null);
    setData('max', ranged ? b[EX.max] : null);
    setData('cutLow', cuts ? b[EX.cutLow] : null);
    setData('cutHigh', cuts ? b[EX.cutHigh] : null);
    setData('threshold', threshold ? b[EX.threshold] : null);
    const lines = [];
    if (ranged) lines.push(`${kernel ? 'Filter values' : 'Gray levels'} from ${b[EX.min]} to ${b[EX.max]} (normalised to 0–255) / 正規化前の範囲 ${b[EX.min]}〜${b[EX.max]}`);
    else if ((kernel || binarize) && b[EX.drawn]) lines.push('Every value is the same: nothing to normalise or count / 全画素が同じ値です');
    if (cuts) {
      lines.push(b[EX.stretched]
        ? `Cuts at ${b[EX.cutLow]} and ${b[EX.cutHigh]} / 切り捨て ${b[EX.cutLow]} と ${b[EX.cutHigh]}`
        : `Cuts at ${b[EX.cutLow]} and ${b[EX.cutHigh]} leave no room for a stretch: levels shown as they are / 引き伸ばしなし`);
      lines.push(`Pixels clipped to black ${b[EX.clippedLow]}, to white ${b[EX.clippedHigh]} (of ${b[EX.width] * b[EX.height]}) / 黒に ${b[EX.clippedLow]}、白に ${b[EX.clippedHigh]} 画素`);
    }
    if (threshold) lines.push(`Threshold ${b[EX.threshold]} (median of ${b[EX.width] * b[EX.height]} pixels) / しきい値 ${b[EX.threshold]}`);
    if (!frame) lines.push('No frame processed yet / まだフレームがありません');
    $('panel-numbers').textContent = lines.join('\n');
    $('panel-frames').textContent = framesText(b);
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
      if (!frozenNow() && acceptSize(size.width, size.height)) {
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
    // A button keeps no focus, so that Space and Enter stay the page's keys.
    for (const button of document.querySelectorAll('button')) button.addEventListener('click', () => button.blur());
    $('freeze').addEventListener('click', toggleFreeze);
    $('step').addEventListener('click', stepOnce);
    $('snapshot').addEventListener('click', () => { snapshot(); });
    document.addEventListener('keydown', onKey);
    setInterval(() => refreshPanel(false), 250);
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
    if (params.get('frozen') === '1') { run.frozen = true; showFrozen(); }
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
