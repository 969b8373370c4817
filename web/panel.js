// The teaching panel: what the operation used on the last frame processed (or re-run while
// frozen), from the core's own explanation, read a few times a second and after each step
// (where the core runs: the answer comes back in the order asked).
import { drawChart } from './chart.js';

const $ = (id) => document.getElementById(id);

// The explanation for each family of operations (the core says which family a mode is of).
const kTexts = {
  filter: {
    ja: '濃淡画像に下のカーネルを掛けて除数で割り、その値の範囲（最小〜最大）を 0〜255 に正規化します。両端 5 % を切り捨て、残りを 256 階調に引き伸ばします（右のグラフ）。',
    en: 'The gray picture is convolved with the kernel below and divided by its divisor; the values\' range (min to max) is normalised to 0–255, the 5 % at each end are cut, and the rest is stretched over the 256 levels (the mapping on the right).',
  },
  none: { ja: '処理なし：結果の表示は最後に描いた画像のままです。', en: 'Nothing is processed: the result view keeps what was last drawn.' },
  normal: { ja: '入力フレームをそのまま表示します。', en: 'The frame as it arrives, unchanged.' },
  invert: { ja: '各色の値 v を 255 − v にして、明暗と色を反転します。', en: 'Each colour level v becomes 255 − v: light and colour are inverted.' },
  average: { ja: '直近のフレームの同じ画素の平均です。動くものはぼやけて尾を引き、ノイズは減ります。', en: 'Each pixel is the mean of the same pixel in the last frames: what moves blurs and trails, noise falls.' },
  'frame-diff': { ja: '前のフレームとの差です。動いた部分だけが明るく現れます。', en: 'The difference from the frame before: only what moved shows.' },
  reference: { ja: 'モードを選んだときに撮った基準フレームとの差です（r で撮り直し）。基準から変わった部分が現れます。', en: 'The difference from a reference frame taken when the mode was chosen (r takes a new one): what changed since then shows.' },
  gray: { ja: 'R・G・B の重み付き和で濃淡画像にします。', en: 'The gray level, a weighted sum of R, G and B.' },
  minimum: { ja: '各画素を 3×3 近傍の最小値にします。暗い部分が広がります。', en: 'Each pixel becomes the minimum of its 3×3 neighbourhood: dark areas grow.' },
  maximum: { ja: '各画素を 3×3 近傍の最大値にします。明るい部分が広がります。', en: 'Each pixel becomes the maximum of its 3×3 neighbourhood: bright areas grow.' },
  median: { ja: '各画素を 3×3 近傍の中央値にします。点状のノイズが消え、輪郭は残ります。', en: 'Each pixel becomes the median of its 3×3 neighbourhood: specks vanish, edges stay.' },
  mean: { ja: '各画素を 3×3 近傍の平均値にします。全体がぼやけます。', en: 'Each pixel becomes the mean of its 3×3 neighbourhood: the picture blurs.' },
  binarize: { ja: '濃淡値を 0〜255 に正規化し、画素の半数に達する値（中央値）をしきい値として白と黒に分けます。', en: 'The gray levels, normalised to 0–255, are split at the median: the lowest level whose cumulative count reaches half the pixels is the threshold, and each pixel becomes black or white.' },
  other: { ja: 'メニューにないモードです。', en: 'A mode the menu does not hold.' },
};

export class Panel {
  constructor(core, run) {
    this.core = core;
    this.run = run;
    this.serial = -1;
    this.EX = core.explainLayout;
  }

  family(mode) {
    const op = this.core.operation(mode);
    return op ? op.family : 'other';
  }

  setData(name, value) { $('panel').dataset[name] = value === null ? '' : String(value); }

  // Which frames an average or a difference combined.
  framesText(b) {
    const EX = this.EX, family = this.family(b[EX.mode]), frame = b[EX.frame];
    const list = (n) => [...Array(n).keys()].map((i) => b[EX.frames + i]);
    const black = (ns) => (ns.some((n) => n < 1) ? ' (a number below 1 is a slot still holding the black of start-up)' : '');
    if (family === 'average') {
      const ns = list(b[EX.frameCount]);
      return `Frames combined: this frame and the ${ns.length - 1} before (${ns.join(', ')})${black(ns)}\n` +
             `合成したフレーム：このフレームと直前の ${ns.length - 1} フレーム`;
    }
    if (family === 'frame-diff') {
      const ns = list(2);
      return `Frames combined: this frame and the one before (${ns.join(', ')})${black(ns)}\n合成したフレーム：このフレームと直前のフレーム`;
    }
    if (family === 'reference') {
      const at = b[EX.reference];
      return `Frames combined: this frame (${frame}) and ${at ? `the reference taken at frame ${at}` : 'the black of start-up as reference'}\n` +
             `合成したフレーム：このフレームと ${at ? `フレーム ${at} で撮った基準` : '起動時の黒（基準）'}`;
    }
    return '';
  }

  kernelTable(b) {
    const EX = this.EX, table = $('panel-kernel');
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

  /** Reads the explanation of the last frame processed into the panel, when there is a new one. */
  async refresh(force) {
    if (this.run.view === 'grid') return;  // hidden: the grid's cells are no one core
    if (!force && this.serial === this.run.serial) return;
    this.serial = this.run.serial;
    const EX = this.EX, b = await this.run.pipeline.call('explain');
    const mode = b[EX.mode], frame = b[EX.frame], family = this.family(mode);
    const kernel = b[EX.kernelSize] > 0, binarize = family === 'binarize';
    const text = kTexts[family];
    $('panel-title').textContent = `Frame ${frame} · ${this.core.title(mode)}`;
    $('panel-ja').textContent = text.ja;
    $('panel-en').textContent = text.en;
    this.kernelTable(b);
    drawChart($('panel-chart'), EX, b, kernel, binarize);
    const ranged = (kernel || binarize) && b[EX.drawn] && b[EX.min] <= b[EX.max];
    const cuts = kernel && b[EX.drawn] && b[EX.cutLow] >= 0;
    const threshold = binarize && b[EX.drawn] && b[EX.threshold] >= 0;
    this.setData('frame', frame || null);
    this.setData('mode', this.core.modeName(mode));
    this.setData('min', ranged ? b[EX.min] : null);
    this.setData('max', ranged ? b[EX.max] : null);
    this.setData('cutLow', cuts ? b[EX.cutLow] : null);
    this.setData('cutHigh', cuts ? b[EX.cutHigh] : null);
    this.setData('threshold', threshold ? b[EX.threshold] : null);
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
    $('panel-frames').textContent = this.framesText(b);
    if (this.run.kernelView) this.run.kernelView.inspect();  // the inspected point on this frame
  }
}
