// SPDX-License-Identifier: MIT
// _orvex: the compiled half of the Python module orvex, a thin binding of
// liborvex's facade (<orvex/Orvex.h>). It hands outcomes back as values
// and raises nothing of its own: the package orvex (orvex/__init__.py)
// turns a failed outcome into the exception of its status, and gives the
// values their Python shape.
//
// Which calls let go of the interpreter lock: those that touch files,
// ports or the controller. Calls on a Parameters object keep it, so that
// two threads sharing one set cannot change it at the same moment.
//
// The log: the library calls its sink under the log's own lock, where
// Python must not be entered (a thread holding the interpreter lock may be
// waiting for the log lock). The sink only queues the line; the package
// hands queued lines to the program's function from Python, holding no
// lock of the library.
#include <orvex/Orvex.h>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace py = pybind11;

namespace {

/// The lines the library logged, waiting for the package to hand them on.
class LogQueue {
public:
  /// Lines kept at most; more are counted, so a program that never takes
  /// them cannot make the queue grow without bound.
  static constexpr size_t MAX_LINES = 10000;

  static LogQueue &instance() {
    // Lives past the interpreter: the library may log while Python ends.
    static LogQueue *queue = new LogQueue;
    return *queue;
  }

  static void sink(void *, orvex::LogLevel level, const char *line) {
    LogQueue &queue = instance();
    {
      std::lock_guard<std::mutex> guard(queue.myMutex);
      if (queue.myLines.size() >= MAX_LINES) {
        queue.myDropped++;
        return;
      }
      queue.myLines.emplace_back(static_cast<int>(level), line);
    }
    queue.myArrived.notify_all();
  }

  /// Waits at most timeout seconds for a line (or a wake), taking none:
  /// true when lines are waiting.
  bool wait(double timeout) {
    std::unique_lock<std::mutex> lock(myMutex);
    auto wait = std::chrono::duration<double>(timeout < 0 ? 0 : timeout > 60 ? 60 : timeout);
    myArrived.wait_for(lock, std::chrono::duration_cast<std::chrono::microseconds>(wait),
                       [this] { return !myLines.empty() || myDropped > 0 || myWoken; });
    myWoken = false;
    return !myLines.empty() || myDropped > 0;
  }

  /// The lines queued, and how many were dropped since the last call.
  std::pair<std::vector<std::pair<int, std::string>>, size_t> take() {
    std::lock_guard<std::mutex> guard(myMutex);
    std::vector<std::pair<int, std::string>> lines(std::make_move_iterator(myLines.begin()),
                                                   std::make_move_iterator(myLines.end()));
    myLines.clear();
    size_t dropped = std::exchange(myDropped, 0);
    return {std::move(lines), dropped};
  }

  /// Ends a wait at once.
  void wake() {
    {
      std::lock_guard<std::mutex> guard(myMutex);
      myWoken = true;
    }
    myArrived.notify_all();
  }

private:
  std::mutex myMutex;
  std::condition_variable myArrived;
  std::deque<std::pair<int, std::string>> myLines;
  size_t myDropped = 0;
  bool myWoken = false;
};

/// The outcome and the value of a Result, as a pair for Python.
template <class T> std::pair<orvex::Outcome, T> split(orvex::Result<T> &&result) {
  T value = std::move(result.value);
  return {static_cast<orvex::Outcome &&>(result), std::move(value)};
}

} // namespace

PYBIND11_MODULE(_orvex, m) {
  m.doc() = "The compiled part of orvex; use the package orvex, not this.";
  m.def("version", &orvex::version, "The library's version, that of orvexconf.");
  m.def(
      "status_name",
      [](int status) { return std::string(orvex::statusName(orvex::Status(status))); },
      "The name of an exit status in the run report.");

  py::class_<orvex::Outcome>(m, "Outcome", "How an operation ended.")
      .def_property_readonly("status", &orvex::Outcome::code)
      .def_readonly("message", &orvex::Outcome::message)
      .def_readonly("file", &orvex::Outcome::file)
      .def_readonly("line", &orvex::Outcome::line)
      .def_property_readonly("log", [](const orvex::Outcome &outcome) {
        std::vector<std::pair<int, std::string>> lines;
        for (const orvex::LogLine &line : outcome.log)
          lines.emplace_back(static_cast<int>(line.level), line.text);
        return lines;
      });

  py::class_<orvex::Parameter>(m, "Parameter")
      .def_readonly("keyword", &orvex::Parameter::keyword)
      .def_readonly("alias", &orvex::Parameter::alias)
      .def_readonly("table", &orvex::Parameter::table)
      .def_readonly("description", &orvex::Parameter::description)
      .def_readonly("text", &orvex::Parameter::text)
      .def_readonly("minimum", &orvex::Parameter::minimum)
      .def_readonly("maximum", &orvex::Parameter::maximum)
      .def_readonly("size", &orvex::Parameter::size)
      .def_readonly("held", &orvex::Parameter::held)
      .def_readonly("value", &orvex::Parameter::value);

  py::class_<orvex::ParameterProblem>(m, "ParameterProblem")
      .def_readonly("line", &orvex::ParameterProblem::line)
      .def_readonly("keyword", &orvex::ParameterProblem::keyword)
      .def_readonly("value", &orvex::ParameterProblem::value)
      .def_readonly("reason", &orvex::ParameterProblem::reason)
      .def_readonly("suggestion", &orvex::ParameterProblem::suggestion)
      .def_readonly("message", &orvex::ParameterProblem::message);

  py::class_<orvex::Change>(m, "Change")
      .def_readonly("keyword", &orvex::Change::keyword)
      .def_readonly("table", &orvex::Change::table)
      .def_readonly("before", &orvex::Change::before)
      .def_readonly("after", &orvex::Change::after)
      .def_readonly("text", &orvex::Change::text)
      .def_readonly("line", &orvex::Change::line);

  py::class_<orvex::Parameters>(m, "Parameters", "One set of the controller's parameters.")
      .def(py::init<>())
      .def(py::init<const orvex::Parameters &>())
      .def_property_readonly("source", &orvex::Parameters::source)
      .def_property_readonly("format", &orvex::Parameters::format)
      .def("list", &orvex::Parameters::list)
      .def("has", &orvex::Parameters::has)
      .def("get", &orvex::Parameters::get)
      .def("set", &orvex::Parameters::set)
      .def("problems", &orvex::Parameters::problems)
      .def("block",
           [](const orvex::Parameters &parameters) {
             std::vector<unsigned char> block = parameters.block();
             return py::bytes(reinterpret_cast<const char *>(block.data()), block.size());
           })
      .def("changes_to", &orvex::Parameters::changesTo);

  py::class_<orvex::AddressRange>(m, "AddressRange")
      .def_readonly("first", &orvex::AddressRange::first)
      .def_readonly("end", &orvex::AddressRange::end);
  py::class_<orvex::ImageBlock>(m, "ImageBlock")
      .def_readonly("index", &orvex::ImageBlock::index)
      .def_readonly("start", &orvex::ImageBlock::start)
      .def_readonly("size", &orvex::ImageBlock::size)
      .def_readonly("end", &orvex::ImageBlock::end);
  py::class_<orvex::ImageInfo>(m, "ImageInfo")
      .def_readonly("file", &orvex::ImageInfo::file)
      .def_readonly("format", &orvex::ImageInfo::format)
      .def_readonly("ranges", &orvex::ImageInfo::ranges)
      .def_readonly("blocks", &orvex::ImageInfo::blocks)
      .def_readonly("sha256", &orvex::ImageInfo::sha256)
      .def_readonly("summary", &orvex::ImageInfo::summary);

  py::class_<orvex::SerialPort>(m, "SerialPort")
      .def_readonly("device", &orvex::SerialPort::device)
      .def_readonly("by_id", &orvex::SerialPort::byId)
      .def_readonly("vendor_id", &orvex::SerialPort::vendorId)
      .def_readonly("product_id", &orvex::SerialPort::productId)
      .def_readonly("manufacturer", &orvex::SerialPort::manufacturer)
      .def_readonly("product", &orvex::SerialPort::product)
      .def_readonly("serial", &orvex::SerialPort::serial)
      .def_readonly("line", &orvex::SerialPort::line);

  // Files and ports: the interpreter lock is let go while they are read.
  m.def(
      "load_parameters", [](const std::string &path) { return split(orvex::loadParameters(path)); },
      py::call_guard<py::gil_scoped_release>());
  m.def(
      "read_block_image",
      [](const std::string &path) { return split(orvex::readBlockImage(path)); },
      py::call_guard<py::gil_scoped_release>());
  m.def("parameters_from_block", [](const py::bytes &bytes, const std::string &source) {
    std::string block = bytes;
    py::gil_scoped_release release;
    return split(orvex::parametersFromBlock(reinterpret_cast<const unsigned char *>(block.data()),
                                            block.size(), source));
  });
  m.def("save_parameters",
        [](const orvex::Parameters &parameters, const std::string &path, bool replace) {
          // A copy, so that another thread may change the caller's set meanwhile.
          orvex::Parameters copy = parameters;
          py::gil_scoped_release release;
          return orvex::saveParameters(copy, path, replace);
        });
  m.def(
      "inspect_image",
      [](const std::string &path, long base) { return split(orvex::inspectImage(path, base)); },
      py::call_guard<py::gil_scoped_release>());
  m.def(
      "list_serial_ports",
      [](const std::string &dev, const std::string &sys) {
        return orvex::listSerialPorts(dev, sys);
      },
      py::call_guard<py::gil_scoped_release>());
  m.def(
      "check_port", [](const std::string &port) { return orvex::checkPort(port); },
      py::call_guard<py::gil_scoped_release>());
  m.attr("NO_BASE") = orvex::NO_BASE;

  // Controllers: every operation lets go of the interpreter lock while it
  // talks to the controller; the controller's own lock keeps one
  // operation at a time.
  py::class_<orvex::Identity>(m, "Identity")
      .def_readonly("verdict", &orvex::Identity::verdict)
      .def_readonly("reply", &orvex::Identity::reply)
      .def_readonly("monitor_version", &orvex::Identity::monitorVersion)
      .def_readonly("firmware_name", &orvex::Identity::firmwareName)
      .def_readonly("firmware_version", &orvex::Identity::firmwareVersion);
  py::class_<orvex::RunResult, orvex::Outcome>(m, "RunResult")
      .def_readonly("report", &orvex::RunResult::report)
      .def_readonly("refused", &orvex::RunResult::refused);
  py::class_<orvex::ReadResult, orvex::RunResult>(m, "ReadResult")
      .def_readonly("parameters", &orvex::ReadResult::parameters)
      .def_readonly("sha256", &orvex::ReadResult::sha256)
      .def_readonly("erased", &orvex::ReadResult::erased);
  py::class_<orvex::WriteResult, orvex::RunResult>(m, "WriteResult")
      .def_readonly("changes", &orvex::WriteResult::changes)
      .def_readonly("changed", &orvex::WriteResult::changed)
      .def_readonly("verified", &orvex::WriteResult::verified)
      .def_readonly("backup", &orvex::WriteResult::backup)
      .def_readonly("sha256_before", &orvex::WriteResult::sha256Before)
      .def_readonly("sha256_after", &orvex::WriteResult::sha256After)
      .def_readonly("rescue_files", &orvex::WriteResult::rescueFiles);
  py::class_<orvex::UploadResult, orvex::RunResult>(m, "UploadResult")
      .def_readonly("image", &orvex::UploadResult::image)
      .def_readonly("blocks_written", &orvex::UploadResult::blocksWritten)
      .def_readonly("verified", &orvex::UploadResult::verified)
      .def_readonly("blocks_differing", &orvex::UploadResult::blocksDiffering)
      .def_readonly("state", &orvex::UploadResult::state);

  py::class_<orvex::Controller>(m, "Controller")
      .def(py::init<>())
      .def("connect",
           [](orvex::Controller &controller, const std::string &port, int robotBaud,
              const std::string &backupDir, bool verify, bool dismissUnfinished) {
             orvex::ControllerSettings settings;
             settings.robotBaud = robotBaud;
             settings.backupDir = backupDir;
             settings.verify = verify;
             settings.dismissUnfinished = dismissUnfinished;
             py::gil_scoped_release release;
             return controller.connect(port, settings);
           })
      .def_property_readonly("connected", &orvex::Controller::connected,
                             py::call_guard<py::gil_scoped_release>())
      .def_property_readonly("identity", &orvex::Controller::identity,
                             py::call_guard<py::gil_scoped_release>())
      .def_property_readonly("warnings", &orvex::Controller::warnings,
                             py::call_guard<py::gil_scoped_release>())
      .def("read", &orvex::Controller::read, py::call_guard<py::gil_scoped_release>())
      .def("apply",
           [](orvex::Controller &controller, bool write, int kind, const orvex::Parameters *values,
              const std::string &file) {
             orvex::Target target;
             target.kind = static_cast<orvex::Target::Kind>(kind);
             if (values != nullptr)
               target.values = *values;
             target.file = file;
             py::gil_scoped_release release;
             return write ? controller.write(target) : controller.check(target);
           })
      .def("upload", &orvex::Controller::upload, py::call_guard<py::gil_scoped_release>())
      .def("close", &orvex::Controller::close, py::call_guard<py::gil_scoped_release>());

  // The log: on routes every line up to level into the queue, off routes
  // it nowhere again.
  m.def("log_route", [](bool on, int level) {
    py::gil_scoped_release release;
    orvex::setLogSink(on ? &LogQueue::sink : nullptr, nullptr,
                      static_cast<orvex::LogLevel>(level < 0   ? 0
                                                   : level > 2 ? 2
                                                               : level));
  });
  m.def(
      "log_wait", [](double timeout) { return LogQueue::instance().wait(timeout); },
      py::call_guard<py::gil_scoped_release>());
  m.def("log_take", [] { return LogQueue::instance().take(); });
  m.def("log_wake", [] { LogQueue::instance().wake(); });
}
