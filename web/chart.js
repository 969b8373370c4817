// The panel's pictures: its chart (the histogram with the cuts or the threshold, and the level
// mapping) and the panel drawn as one picture for Snapshot, with both views saved beside it.
import { download } from './recording.js';

const $ = (id) => document.getElementById(id);

// Left: the histogram of the normalised levels (log scale of counts would hide the cuts'
// meaning, so linear, clipped at the tallest bar but one); right: the level mapping.
export function drawChart(canvas, EX, b, kernel, binarize) {
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
  if (binarize && b[EX.threshold] >= 0) {
    const v = b[EX.threshold];
    g.fillStyle = '#8ab4f8';
    g.fillRect(8 + v, top, 1, base - top);
    g.fillText(`threshold ${v}`, Math.min(8 + v + 3, 8 + 200), top + 12);
  }
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

// The panel as one picture: its texts wrapped to the width, the kernel, the chart.
function panelCanvas() {
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
  $('panel').dataset.snapshotHeight = String(height);
  return canvas;
}

function canvasBlob(canvas) { return new Promise((resolve) => canvas.toBlob(resolve, 'image/png')); }

/** Both views (PNG blobs, from where they are drawn) and the panel as PNG files named by the
 *  frame shown and its mode; returns the names. */
export async function snapshot(views) {
  const frame = $('panel').dataset.frame || '0';
  const base = `pixelwell-${frame.padStart(6, '0')}-${$('panel').dataset.mode || 'none'}`;
  const files = [[`${base}-viewer.png`, views.viewer], [`${base}-result.png`, views.result], [`${base}-panel.png`, await canvasBlob(panelCanvas())]];
  for (const [name, blob] of files) download(name, blob);
  return files.map(([n]) => n);
}
