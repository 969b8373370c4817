// The recording: every processed frame and its results, written as they come to the Origin
// Private File System (memory only where the browser has none), and handed over as the
// downloads recording.raw and results.bgrx (in the grid, results-NAME.bgrx for each cell). The
// files go in segments of a few megabytes whose frames are also kept in memory until the
// segment is closed: when the storage quota runs out,
// the closed segments and the frames in memory are kept, and frames that come before the run
// stops the recording join them there, so that no frame processed is missing.
const kSegmentBytes = 16 << 20;  // frames and results per segment file, at most
const kSegmentFrames = 32;
const kMemoryLimit = 2 ** 30;    // where frames can only be kept in memory
const kLockPrefix = 'pixelwell-recording-';

/** Hands a file to the browser as a download. */
export function download(name, blob) {
  const a = document.createElement('a');
  a.href = URL.createObjectURL(blob);
  a.download = name;
  document.body.appendChild(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 60000);
}

async function recordingsFolder() {
  if (!navigator.storage || !navigator.storage.getDirectory) return null;
  try {
    return await (await navigator.storage.getDirectory()).getDirectoryHandle('recordings', { create: true });
  } catch (e) {
    return null;  // no storage for this page (a private window, a file:// page): memory it is
  }
}

/** Removes the recordings no open page holds: those of pages closed before they were removed. */
export async function removeStaleRecordings() {
  const folder = await recordingsFolder();
  if (!folder || !navigator.locks) return;
  const held = new Set((await navigator.locks.query()).held.map((l) => l.name));
  for await (const name of folder.keys())
    if (!held.has(kLockPrefix + name)) await folder.removeEntry(name, { recursive: true }).catch(() => {});
}

export class Recorder {
  /**
   * names: the downloads, one part of each frame to each (recording.raw, then the results: one
   * file, or one per grid cell); limitBytes: all of them at most (Infinity: as much as the
   * storage quota allows).
   */
  constructor(limitBytes, names) {
    this.limitBytes = limitBytes;
    this.names = names;
    this.frames = 0;          // frames handed to add()
    this.kept = 0;            // frames written (or in memory)
    this.bytes = 0;
    this.full = false;        // the storage refused a write: nothing more is taken
    this.onFull = () => {};
    this.room = limitBytes;  // until the storage says how much it has
    this.pair = 0;            // bytes of one frame's parts
    this.chain = this.prepare().catch(() => { this.folder = null; });
    this.segments = [];       // closed: one part list per file, each a File or, in memory, an array of bytes
    this.open = null;         // the segment being written
    this.unclosed = this.emptyParts();  // its frames, until it is closed
  }

  emptyParts() { return this.names.map(() => []); }

  /** Finds where to write and how much room there is; frames added meanwhile wait for it. */
  async prepare() {
    this.folder = await recordingsFolder();
    let room = kMemoryLimit;
    if (this.folder) {
      await removeStaleRecordings().catch(() => {});
      const name = `${Date.now()}-${Math.random().toString(36).slice(2, 8)}`;
      // Held while the page is open, so that another page (or this one's own clean-up, which
      // may run on another thread meanwhile) leaves these files alone: taken before they exist.
      if (navigator.locks) {
        await new Promise((held) => navigator.locks.request(kLockPrefix + name, () => {
          held();
          return new Promise((release) => { this.releaseLock = release; });
        }));
      }
      this.dir = await this.folder.getDirectoryHandle(name, { create: true });
      this.dirName = name;
      const estimate = await navigator.storage.estimate().catch(() => null);
      room = estimate && estimate.quota ? estimate.quota - estimate.usage : Infinity;
    }
    this.room = Math.min(room, this.limitBytes);
    this.where = this.folder ? 'storage' : 'memory';
  }

  /** Whether one more frame fits within the limit and the room the storage reported. */
  fits(pair) { return !this.full && this.bytes + pair <= this.room; }
  /** Frames there is still room for (by the same estimate). */
  roomFrames() { return this.pair ? Math.max(0, Math.floor((this.room - this.bytes) / this.pair)) : Infinity; }

  /** Keeps one frame's parts, one for each file (copies, written in the order given). */
  add(parts) {
    if (this.full) return;
    if (!this.pair) {
      this.pair = parts.reduce((sum, part) => sum + part.length, 0);
      this.segmentFrames = Math.max(1, Math.min(kSegmentFrames, Math.floor(kSegmentBytes / this.pair)));
    }
    this.frames += 1;
    this.bytes += this.pair;
    this.chain = this.chain.then(async () => {
      if (!this.folder || this.full) {
        this.inMemory(parts);
        return;
      }
      try {
        if (!this.open) {
          const n = String(this.segments.length).padStart(6, '0');
          const handles = [];
          for (let k = 0; k < this.names.length; ++k) handles.push(await this.dir.getFileHandle(`part${k}-${n}`, { create: true }));
          const writers = [];
          for (const handle of handles) writers.push(await handle.createWritable());
          this.open = { handles, writers, frames: 0 };
        }
        parts.forEach((part, k) => this.unclosed[k].push(part));
        for (let k = 0; k < parts.length; ++k) await this.open.writers[k].write(parts[k]);
        this.open.frames += 1;
        if (this.open.frames === this.segmentFrames) await this.closeSegment();
      } catch (error) {
        // The storage is full, or refuses to go on: the open segment's frames stay in memory,
        // with what follows.
        if (this.open) {
          for (const writer of this.open.writers) writer.abort().catch(() => {});
          this.open = null;
        }
        const unclosed = this.unclosed;
        this.unclosed = this.emptyParts();
        this.memory = unclosed;
        this.segments.push(this.memory);
        this.kept += unclosed[0].length;
        const first = unclosed[0];
        if (first.length === 0 || first[first.length - 1] !== parts[0]) this.inMemory(parts);
        if (!error || error.name !== 'QuotaExceededError') {
          // Not the quota (a folder removed under it, a storage that failed): the recording
          // goes on in memory, within what memory allows, rather than ending as if full.
          this.folder = null;
          this.where = 'memory';
          this.room = Math.min(this.limitBytes, kMemoryLimit);
          this.storageError = error;
          return;
        }
        this.full = true;
        this.error = error;
        this.onFull(error);
      }
    });
  }

  inMemory(parts) {
    if (!this.memory) {
      this.memory = this.emptyParts();
      this.segments.push(this.memory);
    }
    parts.forEach((part, k) => this.memory[k].push(part));
    this.kept += 1;
  }

  async closeSegment() {
    const open = this.open;
    this.open = null;
    for (const writer of open.writers) await writer.close();
    const files = [];
    for (const handle of open.handles) files.push(await handle.getFile());
    this.segments.push(files);
    this.kept += open.frames;
    this.unclosed = this.emptyParts();
  }

  /** Writes what is left; resolves to { frames, files: [{ name, blob }] } (the downloads). */
  async finish() {
    this.chain = this.chain.then(async () => {
      if (!this.open) return;
      try {
        await this.closeSegment();
      } catch (error) {  // full at the last moment: the segment's frames from memory
        this.full = true;
        this.open = null;
        this.segments.push(this.unclosed);
        this.kept += this.unclosed[0].length;
      }
    });
    await this.chain;
    const files = this.names.map((name, k) => ({
      name, blob: new Blob(this.segments.flatMap((s) => (Array.isArray(s[k]) ? s[k] : [s[k]])), { type: 'application/octet-stream' }),
    }));
    return { frames: this.kept, files };
  }

  /** After the hand-over: the files are left for the browser to read, and removed by the next
   *  recording (or the next page) once a minute has passed. */
  dispose() {
    if (this.releaseLock) setTimeout(this.releaseLock, 60000);
  }
}
