#include "py_values.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <chrono>
#include <cstdint>
#include <kelmora/core/errors.hpp>
#include <limits>
#include <string_view>
#include <thread>
#include <vector>

namespace kelmora::python {
namespace {

// Converters of bound C++ types, filled while the extension initializes and only read after.
std::vector<ValueConverter>& converters() {
  static auto* list = new std::vector<ValueConverter>();  // never destroyed: read at exit
  return *list;
}

// The kelmora.core.NodeStatus members, one strong reference each, kept for the process's life.
std::array<PyObject*, 5> g_status_members{};

template <class T>
py::list list_of(const std::vector<T>& items) {
  py::list list(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    list[i] = from_any(std::any(items[i]));
  }
  return list;
}

// Runs `fn` on the Python object inside `value`, for kelmora's any helpers, which worker threads
// call without the GIL; std::nullopt when `value` holds no PyValue. `fallback` stands in when
// Python cannot be used (finalization) or `fn` raises.
template <class Fn>
std::optional<std::string> with_python_object(const std::any& value, Fn fn,
                                              std::optional<std::string> fallback) {
  const auto* ref = std::any_cast<PyValueRef>(&value);
  if (ref == nullptr || *ref == nullptr) return std::nullopt;
  const AcquiredGil gil;
  if (!gil) return fallback;
  try {
    return fn((*ref)->object());
  } catch (py::error_already_set& e) {
    keep_interrupt(e);
    return fallback;
  }
}

template <class... Ts>
bool holds_any_of(const std::any& value) {
  return ((value.type() == typeid(Ts)) || ...);
}

// The name of the Python type a C++ value becomes in Python (see from_any): what a Python user
// is shown for it. std::nullopt for a C++ value that has no Python form of its own.
std::optional<std::string> python_kind_of_cpp_value(const std::any& value) {
  if (!value.has_value()) return "NoneType";
  if (holds_any_of<std::string, std::string_view, const char*>(value)) return "str";
  if (holds_any_of<bool>(value)) return "bool";
  if (core::any_as_integer(value) || holds_any_of<unsigned long, unsigned long long>(value)) {
    return "int";
  }
  if (holds_any_of<double, float>(value)) return "float";
  if (holds_any_of<core::NodeStatus>(value)) return "NodeStatus";
  if (holds_any_of<core::AnyMap>(value)) return "dict";
  if (holds_any_of<std::vector<std::any>, std::vector<core::NodeStatus>, std::vector<std::string>,
                   std::vector<core::AnyMap>, std::vector<std::int64_t>>(value)) {
    return "list";
  }
  for (const auto& c : converters()) {
    if (c.kind_name) {
      if (auto name = c.kind_name(value)) return name;
    }
  }
  return std::nullopt;
}

// Teaches kelmora's any helpers Python's words: messages in this process are read by Python
// users, so a value is named and shown as Python names and shows what it is in Python ("str",
// "NoneType", "True"), whether it is a Python object or a C++ value that Python sees converted.
void install_any_hooks() {
  core::AnyHooks hooks;
  hooks.to_text = [](const std::any& value) -> std::optional<std::string> {
    if (!value.has_value()) return "None";
    if (const auto* flag = std::any_cast<bool>(&value)) return *flag ? "True" : "False";
    return with_python_object(
        value,
        [](py::handle o) -> std::optional<std::string> { return encode_message(py::str(o)); },
        "<Python object>");
  };
  hooks.as_string = [](const std::any& value) {
    return with_python_object(
        value,
        [](py::handle o) -> std::optional<std::string> {
          if (!PyUnicode_Check(o.ptr())) return std::nullopt;
          return encode(o);
        },
        std::nullopt);
  };
  hooks.kind_name = [](const std::any& value) -> std::optional<std::string> {
    if (auto name = with_python_object(
            value, [](py::handle o) -> std::optional<std::string> { return type_name(o); },
            "object")) {
      return name;
    }
    return python_kind_of_cpp_value(value);
  };
  // Python's bool, int and float feed the core's numeric and boolean ports (Repeat's
  // num_cycles, RunOnce's then_skip, ...). An int beyond the std::int64_t range becomes an
  // infinity of its sign, which every integer port refuses naming the value.
  hooks.as_scalar = [](const std::any& value) -> std::optional<core::Scalar> {
    const auto* ref = std::any_cast<PyValueRef>(&value);
    if (ref == nullptr || *ref == nullptr) return std::nullopt;
    const AcquiredGil gil;
    if (!gil) return std::nullopt;
    PyObject* o = (*ref)->object().ptr();
    if (PyBool_Check(o)) return core::Scalar{o == Py_True};
    if (PyFloat_Check(o)) return core::Scalar{PyFloat_AS_DOUBLE(o)};
    if (!PyLong_Check(o)) return std::nullopt;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred() != nullptr) {
      PyErr_Clear();
      return std::nullopt;
    }
    if (overflow != 0) return core::Scalar{overflow * std::numeric_limits<double>::infinity()};
    return core::Scalar{static_cast<std::int64_t>(v)};
  };
  core::add_any_hooks(std::move(hooks));
}

}  // namespace

// type(object).__name__
std::string type_name(py::handle object) {
  return py::str(py::type::handle_of(object).attr("__name__"));
}

py::str decode(std::string_view text) {
  PyObject* s =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

namespace {

std::string bytes_text(py::handle bytes) {
  return std::string(PyBytes_AS_STRING(bytes.ptr()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

// `text` encoded as UTF-8 with the error handler `errors`; std::nullopt (no Python error left
// set) when it cannot be.
std::optional<std::string> try_encode(py::handle text, const char* errors) {
  PyObject* bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", errors);
  if (bytes == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return bytes_text(py::reinterpret_steal<py::bytes>(bytes));
}

}  // namespace

std::string encode(py::handle text) {
  PyObject* bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogateescape");
  if (bytes == nullptr) throw py::error_already_set();
  return bytes_text(py::reinterpret_steal<py::bytes>(bytes));
}

py::str decode_message(std::string_view text) {
  PyObject* s =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
  if (s == nullptr) throw py::error_already_set();  // out of memory only
  return py::reinterpret_steal<py::str>(s);
}

std::string encode_message(py::handle text) {
  if (auto exact = try_encode(text, "surrogateescape")) return std::move(*exact);
  // A surrogate that stands for no byte: the whole text with every surrogate written out.
  if (auto escaped = try_encode(text, "backslashreplace")) return std::move(*escaped);
  return "<text that cannot be encoded>";
}

std::string fs_path(py::handle path) {
  PyObject* fspath = PyOS_FSPath(path.ptr());
  if (fspath == nullptr) throw py::error_already_set();
  auto owned = py::reinterpret_steal<py::object>(fspath);
  if (PyBytes_Check(fspath)) return bytes_text(owned);
  PyObject* bytes = PyUnicode_EncodeFSDefault(fspath);
  if (bytes == nullptr) throw py::error_already_set();
  return bytes_text(py::reinterpret_steal<py::bytes>(bytes));
}

void set_error(PyObject* type, std::string_view message) {
  try {
    PyErr_SetObject(type, decode_message(message).ptr());
  } catch (py::error_already_set& e) {
    e.restore();  // the MemoryError of making the text
  }
}

bool on_main_thread() {
  try {
    const py::object main = py::module_::import("threading").attr("main_thread")();
    return main.attr("ident").cast<unsigned long>() == PyThread_get_thread_ident();
  } catch (py::error_already_set&) {
    return false;
  }
}

void raise_file_error(const core::TreeFileError& error) {
  const py::str message = decode_message(error.what());
  py::object exception;
  if (error.system_code() == std::errc::illegal_byte_sequence) {
    const std::string bad(1, static_cast<char>(error.byte()));
    exception = py::handle(PyExc_UnicodeDecodeError)("utf-8", py::bytes(bad), 0, 1, message);
  } else {
    exception =
        py::handle(PyExc_OSError)(error.system_code().value(), message, decode(error.path()));
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
}

void keep_interrupt(const py::error_already_set& e) {
  if (e.matches(PyExc_KeyboardInterrupt) && on_main_thread()) PyErr_SetInterrupt();
}

namespace {

// The gate into Python for threads without the GIL. A thread counts itself in `inside` before it
// looks at `closing` and stays counted until it has given the GIL back; the closer sets
// `closing` before it waits for `inside` to drop to zero; so no such thread runs Python code
// once the closer has passed (all sequentially consistent).
std::atomic<bool> closing{false};
std::atomic<int> inside{0};
std::atomic<unsigned long> closer{0};  // the PyThread ident of the closing thread

bool interpreter_open() noexcept {
  return Py_IsInitialized() != 0 && _Py_IsFinalizing() == 0 && !closing.load();
}

bool is_closer() noexcept {
  return closing.load() && closer.load() == PyThread_get_thread_ident();
}

// The Python thread state of a thread that Python did not start, kept from the thread's first
// AcquiredGil to its end. Its destructor runs as the thread ends; once the gate is closed it
// leaves the state alone rather than touch Python.
class KeptThreadState {
 public:
  KeptThreadState() {
    if (PyGILState_GetThisThreadState() != nullptr) return;  // a Python thread: it has its own
    state_ = PyGILState_Ensure();
    thread_state_ = PyEval_SaveThread();
  }
  ~KeptThreadState() {
    if (thread_state_ == nullptr) return;
    inside.fetch_add(1);
    if (interpreter_open()) {
      PyEval_RestoreThread(thread_state_);
      PyGILState_Release(state_);  // the last release of this thread: drops its thread state
    }
    inside.fetch_sub(1);
  }
  KeptThreadState(const KeptThreadState&) = delete;
  KeptThreadState& operator=(const KeptThreadState&) = delete;

 private:
  PyGILState_STATE state_{};
  PyThreadState* thread_state_ = nullptr;
};

}  // namespace

bool python_usable() noexcept {
  if (Py_IsInitialized() == 0) return false;
  if (_Py_IsFinalizing() != 0 || closing.load()) return PyGILState_Check() != 0;
  return true;
}

void close_python_gate() {
  closer.store(PyThread_get_thread_ident());
  closing.store(true);
  const ReleasedGil release;  // those inside need the GIL to get out
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (inside.load() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

AcquiredGil::AcquiredGil() noexcept {
  if (Py_IsInitialized() != 0 && PyGILState_Check() != 0) {
    state_ = PyGILState_Ensure();  // held already: only counts up
    held_ = true;
    return;
  }
  inside.fetch_add(1);
  counted_ = true;
  if (!interpreter_open()) return;
  thread_local KeptThreadState kept;
  state_ = PyGILState_Ensure();
  held_ = true;
}

AcquiredGil::~AcquiredGil() {
  if (held_) PyGILState_Release(state_);
  if (counted_) inside.fetch_sub(1);
}

ReleasedGil::~ReleasedGil() {
  // Counted while it takes the GIL back, so that the closer does not let finalization begin
  // between the look at the gate and the taking.
  inside.fetch_add(1);
  if ((closing.load() || _Py_IsFinalizing() != 0) && !is_closer()) {
    inside.fetch_sub(1);
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  PyEval_RestoreThread(state_);
  inside.fetch_sub(1);
}

PyValue::~PyValue() {
  if (!object_) return;
  const AcquiredGil gil;
  if (!gil) {
    object_.release();  // the interpreter is going away; dropping the reference is not safe
    return;
  }
  object_ = py::object();
}

PyValueRef hold(py::object object) { return std::make_shared<const PyValue>(std::move(object)); }

void add_value_converter(ValueConverter converter) { converters().push_back(std::move(converter)); }

std::any to_any(py::handle object) {
  if (object.is_none()) return {};
  if (py::isinstance<core::NodeStatus>(object)) return object.cast<core::NodeStatus>();
  if (py::isinstance<CppValue>(object)) return object.cast<const CppValue&>().value;
  for (const auto& c : converters()) {
    if (c.from_python) {
      if (auto value = c.from_python(object)) return std::move(*value);
    }
  }
  return hold(py::reinterpret_borrow<py::object>(object));
}

std::any to_plain_any(py::handle object) {
  PyObject* o = object.ptr();
  if (PyBool_Check(o)) return o == Py_True;
  if (PyLong_Check(o)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0 && !(v == -1 && PyErr_Occurred())) return static_cast<std::int64_t>(v);
    PyErr_Clear();
    return to_any(object);  // too large for C++: kept as the Python int
  }
  if (PyFloat_Check(o)) return PyFloat_AS_DOUBLE(o);
  if (PyUnicode_Check(o)) return encode(object);
  return to_any(object);
}

py::object from_any(const std::any& value) {
  if (!value.has_value()) return py::none();
  const auto& t = value.type();
  if (t == typeid(PyValueRef)) {
    const auto& ref = std::any_cast<const PyValueRef&>(value);
    return ref ? ref->object() : py::none();
  }
  if (t == typeid(core::NodeStatus)) return status_object(std::any_cast<core::NodeStatus>(value));
  if (t == typeid(std::string)) return decode(std::any_cast<const std::string&>(value));
  if (t == typeid(std::string_view)) return decode(std::any_cast<std::string_view>(value));
  if (t == typeid(const char*)) {
    const char* s = std::any_cast<const char*>(value);
    return s ? py::object(decode(s)) : py::none();
  }
  if (t == typeid(bool)) return py::bool_(std::any_cast<bool>(value));
  if (auto i = core::any_as_integer(value)) return py::int_(*i);
  if (t == typeid(unsigned long)) return py::int_(std::any_cast<unsigned long>(value));
  if (t == typeid(unsigned long long)) return py::int_(std::any_cast<unsigned long long>(value));
  if (t == typeid(double)) return py::float_(std::any_cast<double>(value));
  if (t == typeid(float)) return py::float_(std::any_cast<float>(value));
  if (t == typeid(core::AnyMap)) return from_any_map(std::any_cast<const core::AnyMap&>(value));
  if (t == typeid(std::vector<std::any>)) {
    return list_of(std::any_cast<const std::vector<std::any>&>(value));
  }
  if (t == typeid(std::vector<core::NodeStatus>)) {
    return list_of(std::any_cast<const std::vector<core::NodeStatus>&>(value));
  }
  if (t == typeid(std::vector<core::AnyMap>)) {
    return list_of(std::any_cast<const std::vector<core::AnyMap>&>(value));
  }
  if (t == typeid(std::vector<std::string>)) {
    return list_of(std::any_cast<const std::vector<std::string>&>(value));
  }
  if (t == typeid(std::vector<std::int64_t>)) {
    return list_of(std::any_cast<const std::vector<std::int64_t>&>(value));
  }
  for (const auto& c : converters()) {
    if (c.to_python) {
      if (auto object = c.to_python(value)) return std::move(*object);
    }
  }
  return py::cast(CppValue{value});
}

py::object from_any_map(const core::AnyMap& map) {
  py::dict dict;
  for (const auto& [key, value] : map) dict[decode(key)] = from_any(value);
  return dict;
}

core::AnyMap to_params(py::handle dict, const char* argument) {
  core::AnyMap params;
  for (auto [key, value] : py::reinterpret_borrow<py::dict>(dict)) {
    if (!PyUnicode_Check(key.ptr())) {
      throw py::type_error(std::string(argument) + " keys must be str, not " + type_name(key));
    }
    std::string name = encode(key);
    params[name] = name == "value" ? to_any(value) : to_plain_any(value);
  }
  return params;
}

core::PortsList to_ports_list(py::handle list, const char* argument) {
  core::PortsList ports;
  const auto items = py::reinterpret_borrow<py::list>(list);
  for (std::size_t i = 0; i < items.size(); ++i) {
    const py::handle item = items[i];
    const std::string where = std::string(argument) + "[" + std::to_string(i) + "]";
    if (!PyDict_Check(item.ptr())) {
      throw py::type_error(where + " must be a dict, not " + type_name(item));
    }
    core::PortDescription port;
    for (auto [key, value] : py::reinterpret_borrow<py::dict>(item)) {
      if (!PyUnicode_Check(key.ptr()) || !PyUnicode_Check(value.ptr())) {
        throw py::type_error(where + " must map str to str, not " + type_name(key) + " to " +
                             type_name(value));
      }
      port[encode(key)] = encode(value);
    }
    ports.push_back(std::move(port));
  }
  return ports;
}

void cache_status_members(py::handle node_status_type) {
  for (auto status : {core::NodeStatus::IDLE, core::NodeStatus::RUNNING, core::NodeStatus::SUCCESS,
                      core::NodeStatus::FAILURE, core::NodeStatus::SKIPPED}) {
    py::object member = node_status_type.attr(std::string(core::to_string(status)).c_str());
    g_status_members[static_cast<std::size_t>(status)] = member.release().ptr();
  }
}

py::object status_object(core::NodeStatus status) {
  return py::reinterpret_borrow<py::object>(g_status_members.at(static_cast<std::size_t>(status)));
}

std::chrono::nanoseconds to_period(py::handle seconds) {
  PyObject* o = seconds.ptr();
  if (PyBool_Check(o) || (!PyLong_Check(o) && !PyFloat_Check(o))) {
    throw kelmora::TypeError("the tick period must be a number of seconds, not " +
                             type_name(seconds));
  }
  const double value = PyFloat_AsDouble(o);
  if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  if (std::isnan(value) || value < 0) {
    throw kelmora::ValueError("the tick period must not be negative (got " +
                              encode_message(py::repr(seconds)) + " s)");
  }
  constexpr double kLongest = 1e9;
  return std::chrono::nanoseconds(
      static_cast<std::int64_t>(std::min(value, kLongest) * 1e9));
}

core::NodeStatus to_status(py::handle object) {
  if (py::isinstance<core::NodeStatus>(object)) return object.cast<core::NodeStatus>();
  throw kelmora::TypeError("Expected NodeStatus, got " + type_name(object).substr(0, 200));
}

std::string error_text(const py::error_already_set& e) {
  std::string text;
  try {
    text = encode_message(py::str(e.value()));
  } catch (py::error_already_set&) {
    text.clear();  // str() itself failed: the type name stands in
  }
  if (text.find_first_not_of(" \t\r\n") != std::string::npos) return text;
  try {
    return encode_message(e.type().attr("__name__"));
  } catch (py::error_already_set&) {
    return "Python exception";
  }
}

void bind_values(py::module_& m) {
  py::class_<CppValue>(m, "CppValue",
                       "A C++ value without a Python form; storing it back keeps it unchanged.")
      .def("__repr__", [](const CppValue& v) {
        return "<C++ value of kind " + core::any_kind_name(v.value) + ">";
      });
  install_any_hooks();
}

}  // namespace kelmora::python
