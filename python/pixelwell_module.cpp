// The Python module's native part, pixelwell._pixelwell: a core as a Python object that takes
// and gives numpy arrays in OpenCV's layout (rows top first, B, G, R), the mode table, the
// schedule of pixelwell-filter --mode, and the moving test picture. The package around it
// (pixelwell/__init__.py) adds filter(), check() and the batch runner.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "explain.h"
#include "frames.h"
#include "kernel_syntax.h"
#include "kernels.h"
#include "operation_table.h"
#include "pixelwell_version.h"
#include "schedule.h"
#include "stages.h"
#include "test_picture.h"

namespace py = pybind11;
using namespace pixelwell;

namespace {

// Arrays are taken as they are (no conversion, so that a float or int64 array is refused rather
// than silently truncated), in any strides: a slice or a transposed view is read through its
// strides, as a contiguous one is.
using AnyArray = py::array;

std::string shapeText(const py::array& a) {
    std::string text = "(";
    for (py::ssize_t d = 0; d < a.ndim(); ++d) {
        if (d) text += ", ";
        text += std::to_string(a.shape(d));
    }
    return text + (a.ndim() == 1 ? ",)" : ")");
}

std::string dtypeText(const py::array& a) { return py::str(a.dtype()).cast<std::string>(); }

// A mode's display name: its name ("kernel" for the kernel mode, which has no number), or the
// bare number for one the menu does not hold.
py::object modeObject(int32_t mode, bool kernelMode = false) {
    if (kernelMode) return py::str(kKernelModeName);
    if (const ModeInfo* info = findModeById(mode)) return py::str(info->name);
    return py::int_(mode);
}

std::string typeName(const py::handle& object) {
    return py::str(py::type::of(object).attr("__name__")).cast<std::string>();
}

// Whether the object names the kernel mode (by name only, case ignored, as --mode takes it).
bool namesKernelMode(const py::handle& mode) {
    if (!py::isinstance<py::str>(mode)) return false;
    std::string text = mode.cast<std::string>();
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text == kKernelModeName;
}

// A mode given as a name or a number, as pixelwell-filter --mode takes it; ValueError otherwise.
int32_t modeFromObject(const py::handle& mode) {
    if (py::isinstance<py::str>(mode)) {
        const std::string text = mode.cast<std::string>();
        if (const ModeInfo* info = findModeByName(text)) return info->id;
        if (text.find('@') == std::string::npos) {
            ModeSchedule schedule;
            std::string error;
            if (addModeSwitch(text, schedule, error)) {
                // The kernel mode has no number to stand for it: the callers that take it look first.
                if (schedule.begin()->second.kind == ModeSwitch::kKernelMode)
                    throw py::value_error("the kernel mode is chosen with its kernel: "
                                          "core.select(\"kernel\", kernel=[[0, -1, 0], [-1, 4, -1], [0, -1, 0]])");
                return schedule.begin()->second.mode;
            }
            // The filter's message, in this module's terms.
            const std::string cli = "bad --mode " + text + ": ";
            if (error.rfind(cli, 0) == 0) error = "unknown mode '" + text + "': " + error.substr(cli.size());
            const std::string list = "--list-modes lists them";
            const size_t at = error.find(list);
            if (at != std::string::npos) error.replace(at, list.size(), "pixelwell.modes() lists them");
            throw py::value_error(error);
        }
        throw py::value_error("unknown mode '" + text + "': a mode is a name or a number; frame indexes (@K) "
                              "belong in a schedule (pixelwell.filter)");
    }
    if (py::isinstance<py::bool_>(mode) || !PyIndex_Check(mode.ptr()))
        throw py::type_error("a mode is a name (str) or a number (int), not " +
                             py::str(py::type::of(mode).attr("__name__")).cast<std::string>());
    const py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(mode.ptr()));
    if (!number) throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX)
        throw py::value_error("mode number " + std::string(py::str(number)) +
                              " does not fit in 32 bits (-2147483648 .. 2147483647)");
    return static_cast<int32_t>(value);
}

// The kernel mode's kernel from a Python object, with the filter's wording for what is wrong
// (rows and entries counted from 1, the top row first), prefixed "bad kernel: ". It is rows as
// seen on screen from the top: a list of 3 or 5 lists of as many whole numbers, a 2-D integer
// array, or pixelwell-filter's ROWS text ("0,-1,0/-1,4,-1/0,-1,0"). Refuses bools and floats
// rather than rounding them, and leaves the divisor as it is.
void kernelFromObject(const py::handle& object, ConvolutionKernel& kernel) {
    const std::string bad = "bad kernel: ";
    std::string error;
    if (py::isinstance<py::str>(object)) {
        if (!parseKernelRows(object.cast<std::string>(), kernel, error)) throw py::value_error(bad + error);
        return;
    }
    if (py::isinstance<py::array>(object)) {
        const auto array = py::reinterpret_borrow<py::array>(object);
        const char kind = array.dtype().kind();
        if (kind != 'i' && kind != 'u')
            throw py::value_error(bad + "an array of " + dtypeText(array) +
                                  "; weights are whole numbers (an integer array, or .astype(int))");
        if (array.ndim() != 2)
            throw py::value_error(bad + "an array of shape " + shapeText(array) +
                                  "; a kernel is 2-D: 3x3 or 5x5 weights, rows from the top");
    }
    if (py::isinstance<py::bytes>(object) || !PySequence_Check(object.ptr()))
        throw py::value_error(bad + "a kernel is a list of rows from the top, such as "
                              "[[0, -1, 0], [-1, 4, -1], [0, -1, 0]], not " + typeName(object));
    const py::list rows(py::reinterpret_borrow<py::object>(object));
    const auto size = static_cast<int32_t>(rows.size());
    if (size != 3 && size != 5)
        throw py::value_error(bad + (size == 0 ? std::string("no rows") : std::to_string(size) + (size == 1 ? " row" : " rows")) +
                              "; a kernel has 3 or 5 rows, e.g. [[0, -1, 0], [-1, 4, -1], [0, -1, 0]]");
    ConvolutionKernel made = kernel;
    made.size = size;
    for (auto& row : made.weights)
        for (int32_t& weight : row) weight = 0;
    for (int32_t a = 0; a < size; ++a) {
        const py::handle row = rows[a];
        const std::string rowName = "row " + std::to_string(a + 1);
        if (py::isinstance<py::str>(row) || py::isinstance<py::bytes>(row) || !PySequence_Check(row.ptr()))
            throw py::value_error(bad + rowName + " is " + py::repr(row).cast<std::string>() +
                                  ", not a list of weights");
        const py::list entries(py::reinterpret_borrow<py::object>(row));
        if (static_cast<int32_t>(entries.size()) != size)
            throw py::value_error(bad + rowName + " has " + std::to_string(entries.size()) +
                                  (entries.size() == 1 ? " entry" : " entries") + "; a kernel of " +
                                  std::to_string(size) + " rows has " + std::to_string(size) + " in each");
        for (int32_t b = 0; b < size; ++b) {
            const py::handle entry = entries[b];
            const std::string entryName = rowName + ", entry " + std::to_string(b + 1);
            if (py::isinstance<py::bool_>(entry) || !PyIndex_Check(entry.ptr()))
                throw py::value_error(bad + entryName + " is " + py::repr(entry).cast<std::string>() +
                                      ", not a whole number");
            const py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(entry.ptr()));
            if (!number) throw py::error_already_set();
            int overflow = 0;
            const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
            if (overflow != 0 || value < -kMaxKernelWeight || value > kMaxKernelWeight)
                throw py::value_error(bad + entryName + " is " + std::string(py::str(number)) +
                                      "; weights go from -1000 to 1000");
            made.weights[a][b] = static_cast<int32_t>(value);
        }
    }
    kernel = made;
}

// The kernel mode's divisor: a whole number from 1 to 1000.
int32_t divisorFromObject(const py::handle& object) {
    if (py::isinstance<py::bool_>(object) || !PyIndex_Check(object.ptr()))
        throw py::value_error("bad divisor: " + py::repr(object).cast<std::string>() +
                              " is no divisor; a divisor is a whole number from 1 to 1000");
    const py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(object.ptr()));
    if (!number) throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow != 0 || value < 1 || value > kMaxKernelDivisor)
        throw py::value_error("bad divisor: " + std::string(py::str(number)) +
                              " is no divisor; a divisor is a whole number from 1 to 1000");
    return static_cast<int32_t>(value);
}

// The stages core.stage() and check() give, by name.
struct StageName {
    const char* name;
    Stage stage;
};
constexpr StageName kStageNames[] = {{"gray", Stage::Gray}, {"values", Stage::Values}, {"levels", Stage::Levels}};

Stage stageFromName(const std::string& name) {
    for (const StageName& entry : kStageNames)
        if (name == entry.name) return entry.stage;
    throw py::value_error("unknown stage '" + name + "': the stages are gray, values and levels (and result, the "
                          "picture process() returns)");
}

// Why a mode has no such stage, as pixelwell-filter --stage says it.
std::string stageWhy(Stage stage) {
    return stage == Stage::Gray ? "gray levels are of gray, the filters, kernel and the rank filters"
                                : "values and levels are of the nine filters and kernel";
}

// Copies a (H, W, 3) uint8 array, read through its strides, into the core's layout (B, G, R,
// rows bottom-up, packed); rgb swaps the first and third channel.
void toCoreLayout(const py::array& frame, bool rgb, int32_t width, int32_t height, uint8_t* bottomUp) {
    const auto* base = static_cast<const uint8_t*>(frame.data());
    const py::ssize_t rs = frame.strides(0), ps = frame.strides(1), cs = frame.strides(2);
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    for (int32_t r = 0; r < height; ++r) {
        const uint8_t* from = base + r * rs;
        uint8_t* to = bottomUp + static_cast<size_t>(height - 1 - r) * rowBytes;
        if (!rgb && ps == 3 && cs == 1) {
            std::memcpy(to, from, rowBytes);
            continue;
        }
        const py::ssize_t c0 = rgb ? 2 * cs : 0, c2 = rgb ? 0 : 2 * cs;
        for (int32_t x = 0; x < width; ++x, from += ps, to += 3) {
            to[0] = from[c0];
            to[1] = from[cs];
            to[2] = from[c2];
        }
    }
}

// Writes the surface's picture into a (H, W, 3) or (H, W, 4) uint8 array through its strides,
// rows top first; rgb swaps the first and third channel, four channels keep the fourth byte as
// the surface stores it.
void fromSurface(const Core& core, int32_t width, int32_t height, bool rgb, py::array& out, std::vector<uint8_t>& region) {
    auto* base = static_cast<uint8_t*>(out.mutable_data());
    const py::ssize_t rs = out.strides(0), ps = out.strides(1), cs = out.strides(2);
    const int channels = static_cast<int>(out.shape(2));
    if (channels == 3 && !rgb && ps == 3 && cs == 1) {
        surfaceRegionBgr(core, width, height, base, rs);
        return;
    }
    if (channels == 4 && ps == 4 && cs == 1 && rs == static_cast<py::ssize_t>(width) * 4) {
        surfaceRegion(core, width, height, true, base);
        return;
    }
    region.resize(static_cast<size_t>(width) * height * 4);
    surfaceRegion(core, width, height, true, region.data());
    const uint8_t* from = region.data();
    for (int32_t r = 0; r < height; ++r) {
        uint8_t* to = base + r * rs;
        for (int32_t x = 0; x < width; ++x, from += 4, to += ps) {
            to[0] = from[rgb ? 2 : 0];
            to[cs] = from[1];
            to[2 * cs] = from[rgb ? 0 : 2];
            if (channels == 4) to[3 * cs] = from[3];
        }
    }
}

// One stream: a core whose capacity is its frame size. Its methods release the GIL while the
// core works; a lock keeps two threads from using one core at once (each waits its turn).
class PyCore {
public:
    PyCore(int32_t width, int32_t height) {
        if (width < 1 || width > kMaxSide || height < 1 || height > kMaxSide)
            throw py::value_error("a core's width and height are 1 to 1280 each, not " + std::to_string(width) +
                                  "x" + std::to_string(height));
        core_ = std::make_unique<Core>(FrameSize{width, height});
        setFrameGeometry(*core_, width, height);
        bottomUp_.resize(static_cast<size_t>(width) * height * 3);
    }

    int32_t width() const { return core_->capacity().width; }
    int32_t height() const { return core_->capacity().height; }

    // A mode by name or number; the kernel mode with its kernel and divisor (1 unless given),
    // which are taken whole before anything changes.
    void select(const py::handle& mode, const py::handle& kernel, const py::handle& divisor) {
        if (namesKernelMode(mode)) {
            if (kernel.is_none())
                throw py::value_error("the kernel mode needs its kernel: core.select(\"kernel\", "
                                      "kernel=[[0, -1, 0], [-1, 4, -1], [0, -1, 0]], divisor=1)");
            ConvolutionKernel chosen{3, 1, {}};
            kernelFromObject(kernel, chosen);
            chosen.divisor = divisor.is_none() ? 1 : divisorFromObject(divisor);
            py::gil_scoped_release released;
            std::lock_guard<std::mutex> hold(lock_);
            setKernel(*core_, chosen);
            selectKernelMode(*core_);
            return;
        }
        const int32_t id = modeFromObject(mode);
        if (!kernel.is_none() || !divisor.is_none())
            throw py::value_error(std::string(kernel.is_none() ? "divisor" : "kernel") + " is for the kernel mode, not " +
                                  py::repr(modeObject(id)).cast<std::string>() +
                                  ": core.select(\"kernel\", kernel=..., divisor=...)");
        py::gil_scoped_release released;
        std::lock_guard<std::mutex> hold(lock_);
        selectProcessingMode(*core_, id);
    }

    // A stage of the last frame, rows top first: gray and levels (H, W) uint8, values (H, W)
    // int32; result, the picture shown, (H, W, 3) B, G, R as process() returned it.
    py::array stage(const std::string& name) {
        if (name == "result") {
            py::array_t<uint8_t> out({static_cast<py::ssize_t>(height()), static_cast<py::ssize_t>(width()),
                                      static_cast<py::ssize_t>(3)});
            py::array any = out;
            py::gil_scoped_release released;
            std::lock_guard<std::mutex> hold(lock_);
            fromSurface(*core_, width(), height(), false, any, region_);
            return out;
        }
        const Stage stage = stageFromName(name);
        const std::vector<py::ssize_t> shape{height(), width()};
        py::array out = stage == Stage::Values ? py::array(py::array_t<int32_t>(shape)) : py::array(py::array_t<uint8_t>(shape));
        auto* into = static_cast<uint8_t*>(out.mutable_data());
        DeliveredFrame last;
        bool made;
        {
            py::gil_scoped_release released;
            std::lock_guard<std::mutex> hold(lock_);
            last = core_->LastDelivered;
            FrameStages stages;
            made = modeHasStage(last.mode, last.kernelMode, stage) && makeStages(*core_, stages);
            if (made) copyStage(*core_, stages, stage, true, into);
        }
        if (made) return out;
        if (last.frame == 0) throw py::value_error("no frame yet: core.stage(\"" + name + "\") gives the last frame's");
        if (!modeHasStage(last.mode, last.kernelMode, stage))
            throw py::value_error("the last frame's mode " + py::repr(modeObject(last.mode, last.kernelMode)).cast<std::string>() +
                                  " has no " + name + " stage (" + stageWhy(stage) + ")");
        throw py::value_error("the last frame was not drawn, so it has no " + name + " stage");
    }

    void reset() {
        py::gil_scoped_release released;
        std::lock_guard<std::mutex> hold(lock_);
        resetCore(*core_);
        std::memset(core_->DisplaySurface, 0, core_->surfaceBytes());
        setFrameGeometry(*core_, width(), height());
    }

    py::array process(const py::object& frameObject, const py::object& outObject, bool rgb, bool bgrx) {
        if (rgb && bgrx) throw py::value_error("bgrx=True gives the surface's B, G, R, X bytes; it takes no rgb=True");
        const py::array frame = checkedFrame(frameObject, "frame", false, 3);
        const int channels = bgrx ? 4 : 3;
        py::array out;
        if (outObject.is_none()) {
            out = py::array_t<uint8_t>({static_cast<py::ssize_t>(height()), static_cast<py::ssize_t>(width()),
                                        static_cast<py::ssize_t>(channels)});
        } else {
            out = checkedFrame(outObject, "out", true, channels);
        }
        {
            py::gil_scoped_release released;
            std::lock_guard<std::mutex> hold(lock_);
            toCoreLayout(frame, rgb, width(), height(), bottomUp_.data());
            processFrame(*core_, bottomUp_.data(), static_cast<int32_t>(bottomUp_.size()));
            fromSurface(*core_, width(), height(), rgb, out, region_);
        }
        return out;
    }

    py::dict explain() {
        Explanation e;
        bool drawn;
        {
            py::gil_scoped_release released;
            std::lock_guard<std::mutex> hold(lock_);
            drawn = explainFrame(*core_, e);
        }
        const py::object none = py::none();
        py::dict d;
        d["frame"] = e.frame;
        d["mode"] = modeObject(e.mode, e.kernelMode);
        d["drawn"] = drawn;
        const bool ranged = e.range.minimum <= e.range.maximum;
        d["min"] = ranged ? py::object(py::int_(e.range.minimum)) : none;
        d["max"] = ranged ? py::object(py::int_(e.range.maximum)) : none;
        d["cut_low"] = e.cutLow >= 0 ? py::object(py::int_(e.cutLow)) : none;
        d["cut_high"] = e.cutHigh >= 0 ? py::object(py::int_(e.cutHigh)) : none;
        d["stretched"] = e.stretched;
        d["clipped_low"] = e.clippedLow;
        d["clipped_high"] = e.clippedHigh;
        d["threshold"] = e.threshold >= 0 ? py::object(py::int_(e.threshold)) : none;
        d["histogram"] = std::vector<int32_t>(e.histogram.begin(), e.histogram.end());
        d["levels"] = std::vector<int32_t>(e.levels.begin(), e.levels.end());
        if (e.kernel) {
            py::list rows;
            for (int32_t r = 0; r < e.kernel->size; ++r)
                rows.append(std::vector<int32_t>(e.kernel->weights[r], e.kernel->weights[r] + e.kernel->size));
            d["kernel"] = rows;
            d["divisor"] = e.kernel->divisor;
        } else {
            d["kernel"] = none;
            d["divisor"] = none;
        }
        py::list combined;
        if (e.frame > 0)
            for (int32_t n = 0; n < e.frameCount; ++n) combined.append(e.frames[n]);
        d["frames_combined"] = combined;
        const bool reference = e.mode == kModeSimpleDiff || e.mode == kModeDiff;
        d["reference_frame"] = reference && e.frame > 0 ? py::object(py::int_(e.reference)) : none;
        return d;
    }

    py::object mode() const { return modeObject(core_->ProcessingMode, kernelModeChosen(*core_)); }
    uint32_t frameCount() const { return core_->FrameCounter; }
    std::string kernelsName() const { return core_->kernels->name; }

    // Chooses every mode the schedule holds for this frame index, as pixelwell-filter does.
    void applySchedule(const ModeSchedule& schedule, uint64_t index) {
        std::lock_guard<std::mutex> hold(lock_);
        applyModeSwitches(*core_, schedule, index);
    }

    std::string repr() const {
        return "<pixelwell.Core " + std::to_string(width()) + "x" + std::to_string(height()) + ", mode " +
               py::repr(mode()).cast<std::string>() + ", " + std::to_string(core_->FrameCounter) + " frames>";
    }

private:
    // The array as a (H, W, channels) uint8 frame of this core's size, or a clear exception; no
    // conversion, so a wrong type is named, never truncated.
    py::array checkedFrame(const py::object& object, const char* what, bool writable, int channels) const {
        const std::string name = what;
        const std::string wanted = "(" + std::to_string(height()) + ", " + std::to_string(width()) + ", " +
                                   std::to_string(channels) + ") uint8";
        if (!py::isinstance<py::array>(object))
            throw py::type_error(name + " must be a numpy array " + wanted + ", not " +
                                 py::str(py::type::of(object).attr("__name__")).cast<std::string>());
        py::array a = py::reinterpret_borrow<py::array>(object);
        if (!a.dtype().is(py::dtype::of<uint8_t>()))
            throw py::type_error(name + " has dtype " + dtypeText(a) + "; the core takes " + wanted +
                                 " (convert with .astype(numpy.uint8) if the values are 0..255)");
        if (a.ndim() != 3 || a.shape(2) != channels) {
            std::string hint;
            if (a.ndim() == 2) hint = " (a gray picture? the core takes colour frames: B, G, R per pixel)";
            if (a.ndim() == 3 && a.shape(2) == 4 && channels == 3) hint = " (drop the fourth channel: frame[..., :3])";
            if (a.ndim() == 4) hint = " (a clip? give one frame, or use pixelwell.filter)";
            throw py::value_error(name + " has shape " + shapeText(a) + "; the core takes " + wanted + hint);
        }
        if (a.shape(0) != height() || a.shape(1) != width())
            throw py::value_error(name + " is " + std::to_string(a.shape(1)) + "x" + std::to_string(a.shape(0)) +
                                  " (width x height) but this core takes " + std::to_string(width()) + "x" +
                                  std::to_string(height()) + " frames; make a Core(" + std::to_string(a.shape(1)) +
                                  ", " + std::to_string(a.shape(0)) + ") for them");
        if (writable && !a.writeable()) throw py::value_error(name + " is read-only");
        return a;
    }

    std::unique_ptr<Core> core_;
    std::vector<uint8_t> bottomUp_;
    std::vector<uint8_t> region_;
    mutable std::mutex lock_;
};

// A parsed --mode schedule: "sobel-x", "average4@10", 1421, "kernel@5", in the order given,
// with the kernel mode's kernels and divisors as pixelwell-filter's --kernel and --divisor take
// them, and refused where the filter refuses them.
class PySchedule {
public:
    PySchedule(const py::object& items, const py::object& kernel, const py::object& divisor) {
        py::list list;
        if (items.is_none()) {
            // A kernel alone means the kernel mode, as --kernel alone does.
            if (kernel.is_none())
                throw py::value_error("a schedule needs at least one mode, e.g. [\"sobel-x\"]");
            list.append(py::str(kKernelModeName));
        } else if (py::isinstance<py::str>(items) || PyIndex_Check(items.ptr())) {
            list.append(items);
        } else {
            list = py::list(items);
        }
        if (list.empty()) throw py::value_error("a schedule needs at least one mode, e.g. [\"sobel-x\"]");
        for (const py::handle item : list) {
            if (py::isinstance<py::str>(item)) {
                const std::string text = item.cast<std::string>();
                std::string error;
                if (!addModeSwitch(text, schedule_, error)) throw py::value_error(inPythonTerms(error));
            } else {
                schedule_.emplace(0, modeFromObject(item));
            }
            texts_.push_back(py::str(item).cast<std::string>());
        }
        addKernels(kernel);
        addDivisors(divisor);
        checkKernelMode();
    }
    const ModeSchedule& schedule() const { return schedule_; }
    // (frame, mode) of each switch, in the order it takes effect.
    std::vector<std::pair<uint64_t, py::object>> switches() const {
        std::vector<std::pair<uint64_t, py::object>> out;
        for (const auto& [frame, choice] : schedule_)
            if (choice.choosesMode()) out.emplace_back(frame, modeObject(choice.mode, choice.kind == ModeSwitch::kKernelMode));
        return out;
    }
    std::vector<std::string> notes() const { return scheduleNotes(schedule_); }
    std::vector<std::string> unreached(uint64_t frames) const { return unreachedNotes(schedule_, frames); }

    // Whether every mode the schedule chooses has the stage; ValueError naming the first that
    // has not, as pixelwell-filter --stage says it.
    void requireStage(const std::string& name) const {
        const Stage stage = stageFromName(name);
        for (const auto& [frame, choice] : schedule_) {
            if (!choice.choosesMode()) continue;
            const bool kernelMode = choice.kind == ModeSwitch::kKernelMode;
            if (modeHasStage(choice.mode, kernelMode, stage)) continue;
            throw py::value_error("stage " + name + ": mode " + (kernelMode ? std::string(kKernelModeName) : modeLabel(choice.mode)) +
                                  " has no such stage (" + stageWhy(stage) + ")");
        }
    }

private:
    static std::string inPythonTerms(std::string error) {
        const std::string list = "--list-modes lists them";
        const size_t at = error.find(list);
        if (at != std::string::npos) error.replace(at, list.size(), "pixelwell.modes() lists them");
        return error;
    }

    // kernel: one kernel (rows, an array or ROWS text) from frame 0, or a list of "ROWS@K" texts,
    // each from frame K, as --kernel is given again and again.
    void addKernels(const py::object& kernel) {
        if (kernel.is_none()) return;
        const bool texts = py::isinstance<py::list>(kernel) || py::isinstance<py::tuple>(kernel);
        if (texts && py::len(kernel) > 0 &&
            std::all_of(kernel.begin(), kernel.end(), [](const py::handle h) { return py::isinstance<py::str>(h); })) {
            for (const py::handle item : kernel) addKernelText(item.cast<std::string>());
        } else if (py::isinstance<py::str>(kernel)) {
            addKernelText(kernel.cast<std::string>());
        } else {
            ConvolutionKernel weights{3, 1, {}};
            kernelFromObject(kernel, weights);
            schedule_.emplace(0, ModeSwitch::kernelWeights(weights));
        }
    }

    void addKernelText(const std::string& text) {
        std::string error;
        if (!addKernelSwitch(text, schedule_, error)) {
            if (error.rfind("bad --kernel ", 0) == 0) error = "bad kernel " + error.substr(13);
            throw py::value_error(error);
        }
    }

    // divisor: a number from frame 0 (1, the default, sets nothing), or "N@K" texts.
    void addDivisors(const py::object& divisor) {
        if (divisor.is_none()) return;
        std::vector<std::string> texts;
        if (py::isinstance<py::str>(divisor)) {
            texts.push_back(divisor.cast<std::string>());
        } else if (py::isinstance<py::list>(divisor) || py::isinstance<py::tuple>(divisor)) {
            for (const py::handle item : divisor) texts.push_back(py::str(item).cast<std::string>());
        } else {
            const int32_t value = divisorFromObject(divisor);
            if (value != 1) schedule_.emplace(0, ModeSwitch::kernelDivisor(value));
            return;
        }
        for (const std::string& text : texts) {
            std::string error;
            if (!addDivisorSwitch(text, schedule_, error)) {
                if (error.rfind("bad --divisor ", 0) == 0) error = "bad divisor " + error.substr(14);
                throw py::value_error(error);
            }
        }
    }

    // As pixelwell-filter: the kernel mode runs only a kernel that was given, and kernels and
    // divisors are refused where no kernel mode would use them.
    void checkKernelMode() const {
        if (choosesKernelMode(schedule_)) {
            if (!setsKernel(schedule_))
                throw py::value_error("the kernel mode needs the kernel: kernel=[[0, -1, 0], [-1, 4, -1], [0, -1, 0]] "
                                      "(or \"0,-1,0/-1,4,-1/0,-1,0\")");
            uint64_t firstMode = UINT64_MAX, firstKernel = UINT64_MAX;
            for (const auto& [frame, choice] : schedule_) {
                if (choice.kind == ModeSwitch::kKernelMode) firstMode = std::min(firstMode, frame);
                if (choice.kind == ModeSwitch::kKernel) firstKernel = std::min(firstKernel, frame);
            }
            if (firstKernel > firstMode)
                throw py::value_error("kernel@" + std::to_string(firstMode) + " comes before the first kernel (@" +
                                      std::to_string(firstKernel) + "): give the kernel from frame " +
                                      std::to_string(firstMode) + " on");
        } else if (setsKernel(schedule_) || setsDivisor(schedule_)) {
            throw py::value_error(std::string(setsKernel(schedule_) ? "kernel" : "divisor") +
                                  " is for the kernel mode, which the schedule does not choose: add \"kernel\" to it");
        }
    }

    ModeSchedule schedule_;
    std::vector<std::string> texts_;
};

const std::pair<const char*, simcam::Picture> kPictures[] = {{"shapes", simcam::Picture::MovingShapes},
                                                             {"bars", simcam::Picture::ColourBars},
                                                             {"noise", simcam::Picture::Noise},
                                                             {"still", simcam::Picture::Still}};

py::array testClip(int32_t width, int32_t height, int64_t frames, const std::string& picture, uint32_t first) {
    if (width < 1 || width > kMaxSide || height < 1 || height > kMaxSide)
        throw py::value_error("a clip's width and height are 1 to 1280 each, not " + std::to_string(width) + "x" +
                              std::to_string(height));
    if (frames < 0) throw py::value_error("frames must be 0 or more, not " + std::to_string(frames));
    const simcam::Picture* chosen = nullptr;
    std::string names;
    for (const auto& [name, value] : kPictures) {
        if (picture == name) chosen = &value;
        names += names.empty() ? name : std::string(", ") + name;
    }
    if (!chosen) throw py::value_error("unknown picture '" + picture + "': one of " + names);
    py::array_t<uint8_t> clip({static_cast<py::ssize_t>(frames), static_cast<py::ssize_t>(height),
                               static_cast<py::ssize_t>(width), static_cast<py::ssize_t>(3)});
    uint8_t* out = clip.mutable_data();
    const size_t frameBytes = static_cast<size_t>(width) * height * 3;
    {
        py::gil_scoped_release released;
        std::vector<uint8_t> bottomUp(frameBytes);
        for (int64_t n = 0; n < frames; ++n) {
            simcam::renderPicture(*chosen, width, height, first + static_cast<uint32_t>(n), bottomUp.data());
            flipRows(bottomUp.data(), out + n * frameBytes, height, static_cast<size_t>(width) * 3);
        }
    }
    return clip;
}

}  // namespace

PYBIND11_MODULE(_pixelwell, m) {
    m.doc() = "The native part of pixelwell: the processing core on numpy arrays.";
    m.attr("__version__") = PIXELWELL_VERSION;
    m.attr("MAX_SIDE") = kMaxSide;

    py::class_<PyCore>(m, "Core", R"(One stream of frames through the exact operations.

Core(width, height) takes frames of that size (1 to 1280 each way) in OpenCV's layout:
(height, width, 3) uint8 arrays, B, G, R, the first row at the top. It keeps what the
temporal modes need (the last eight frames, the reference) from one frame to the next.
It starts in mode "none": frames are counted and stored, and the picture stays black.

    core = pixelwell.Core(640, 480)
    core.select("sobel-x")
    result = core.process(frame)        # (480, 640, 3) uint8, B, G, R
    core.explain()["histogram"]         # the teaching numbers of that frame

Each method releases the GIL while the core works, so cores on different threads run at
once; one core is used by one thread at a time (others wait for it).)")
        .def(py::init<int32_t, int32_t>(), py::arg("width"), py::arg("height"))
        .def_property_readonly("width", &PyCore::width, "Frame width the core takes.")
        .def_property_readonly("height", &PyCore::height, "Frame height the core takes.")
        .def_property_readonly("mode", &PyCore::mode,
                               "The current mode: its name, or the number for one that selects no operation.")
        .def_property_readonly("frame_count", &PyCore::frameCount, "Frames processed since the core was made or reset.")
        .def_property_readonly("kernels", &PyCore::kernelsName,
                               "The row kernels the core runs (scalar, sse2, ssse3, avx2): every one gives the same bytes.")
        .def("select", &PyCore::select, py::arg("mode"), py::kw_only(), py::arg("kernel") = py::none(),
             py::arg("divisor") = py::none(), R"(Chooses the operation for the next frames.

mode is a name from pixelwell.modes() ("sobel-x", case ignored) or any 32-bit number,
as pixelwell-filter --mode takes it. A number that selects no operation (1400, 1410, ...)
is set all the same: frames are then only counted and stored, and the picture keeps what
it last showed. Choosing "simple-diff" or "diff" takes the next frame as the reference.

"kernel" is your own kernel through the nine filters' procedure (it has no number):
    core.select("kernel", kernel=[[0, -1, 0], [-1, 4, -1], [0, -1, 0]], divisor=1)
kernel is 3 or 5 rows of as many whole numbers from -1000 to 1000, rows as seen on screen
from the top (a list of lists, a 2-D integer array, or pixelwell-filter's ROWS text
"0,-1,0/-1,4,-1/0,-1,0"); divisor is 1 to 1000 (default 1). Each value is divided and
truncated toward zero, as the nine filters' are.

An unknown name, a number beyond 32 bits, a bad kernel or divisor, or a kernel given with
another mode raises ValueError and changes nothing.)")
        .def("stage", &PyCore::stage, py::arg("name"), R"(A stage of the last frame, rows top first.

"gray": (height, width) uint8, the gray levels (gray, the nine filters, kernel and the four
rank filters); "values": (height, width) int32, the filter values before the tone mapping,
0 on the border (the nine filters and kernel); "levels": (height, width) uint8, the tone
mapping's levels before the stretch (where every interior value is the same: the values'
low 8 bits, as shown). "result" is the picture process() returned. These are what
pixelwell-filter --stage NAME --top-down writes. A mode without the stage, or no frame yet,
raises ValueError. It works the frame again (about as long as processing it).)")
        .def("reset", &PyCore::reset, "Puts the core back as it was made: mode none, no frames, a black picture.")
        .def("process", &PyCore::process, py::arg("frame"), py::arg("out") = py::none(), py::kw_only(),
             py::arg("rgb") = false, py::arg("bgrx") = false, R"(Runs one frame through the current mode and returns the picture shown.

frame: (height, width, 3) uint8, B, G, R, first row at the top (OpenCV's layout); any
strides (a slice or a view is read as it is). rgb=True takes and gives R, G, B instead
(matplotlib, scikit-image). bgrx=True gives (height, width, 4): B, G, R and the fourth byte
as the picture stores it, as pixelwell-filter --top-down writes it.
out: an array of the result's shape and dtype to write into (it may be frame itself).
A wrong type, dtype, shape or size raises TypeError or ValueError and changes nothing.)")
        .def("explain", &PyCore::explain, R"(The teaching numbers of the last frame, as a dict.

frame (its number, counting from 1; 0: none yet), mode, drawn (whether the operation drew
it), min and max (the filter values' or the gray levels' range), cut_low and cut_high (the
contrast stretch's cuts, in levels), threshold (binarize's median level), histogram (256
counts of the levels), levels (the level each is shown at), stretched, clipped_low and
clipped_high (pixels sent to black and white), kernel and divisor (the filters), and
frames_combined (the frames an average or a difference used, newest first) and
reference_frame (the two reference modes: the frame the reference was taken from, 0 for the
black of start-up). A key that does not apply to the mode is None.)")
        .def("_apply_schedule", [](PyCore& core, const PySchedule& schedule, uint64_t index) {
                 core.applySchedule(schedule.schedule(), index);
             })
        .def("__repr__", &PyCore::repr);

    py::class_<PySchedule>(m, "Schedule", R"(A mode schedule in pixelwell-filter's --mode syntax.

Schedule(["average4", "sobel-x@10"]): each item is M or M@K, M a mode's name or number
("kernel" for the kernel mode), K the frame index before which it is chosen (0 when left
out). kernel: one kernel from frame 0 (rows, or "ROWS"), or a list of "ROWS@K" texts as
--kernel takes them; divisor: a number, or "N@K" texts. As pixelwell-filter, the kernel
mode needs a kernel by the frame it is chosen, and a kernel or divisor needs the kernel
mode.)")
        .def(py::init<const py::object&, const py::object&, const py::object&>(), py::arg("modes"),
             py::arg("kernel") = py::none(), py::arg("divisor") = py::none())
        .def("_require_stage", &PySchedule::requireStage, py::arg("stage"))
        .def_property_readonly("switches", &PySchedule::switches, "(frame, mode) of each switch, in order.")
        .def_property_readonly("notes", &PySchedule::notes,
                               "What a user may not expect of the schedule, one line each.")
        .def("unreached", &PySchedule::unreached, py::arg("frames"),
             "Lines for the switches a run of that many frames never reached.");

    m.def("modes", [] {
        std::vector<std::string> names;
        for (const ModeInfo& info : ModeTable) names.emplace_back(info.name);
        names.emplace_back(kKernelModeName);
        return names;
    }, "The names of the modes, as pixelwell-filter --list-modes gives them, in its order: none, the 23\n"
       "operations, then kernel (your own kernel, chosen by name only).");

    m.def("_mode_entry", [](const py::object& mode) {
        // The kernel mode: no number, no menu label (the menu does not hold it), pixelwell-live's key k.
        if (namesKernelMode(mode))
            return py::make_tuple(kKernelModeName, py::none(), "", "k",
                                  "your own kernel (select(\"kernel\", kernel=..., divisor=...))");
        const int32_t id = modeFromObject(mode);
        const ModeInfo* info = findModeById(id);
        const int position = positionOfMode(id);
        if (!info || position < 0) throw py::value_error("mode " + std::to_string(id) + " selects no operation");
        const Operation& operation = operationAt(position);
        return py::make_tuple(info->name, id, operation.label, operation.key, info->description);
    });

    m.def("test_clip", &testClip, py::arg("width") = 640, py::arg("height") = 480, py::arg("frames") = 8,
          py::kw_only(), py::arg("picture") = "shapes", py::arg("first") = 0,
          R"(Frames of the moving test picture, as pixelwell-clip --top-down makes them.

Returns (frames, height, width, 3) uint8, B, G, R, first row at the top. picture is
"shapes" (moving shapes, gradients, mild noise), "bars", "noise" or "still"; first is the
number of the first frame.)");

    m.def("fit_within", [](int32_t width, int32_t height, int32_t side) {
        const FrameSize fit = fitWithin(width, height, side);
        return py::make_tuple(fit.width, fit.height);
    }, py::arg("width"), py::arg("height"), py::arg("side") = kMaxSide,
       "The size a frame larger than side x side is scaled to (pixelwell-live's and the page's rule).");
}
