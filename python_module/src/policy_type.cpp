#include "policy_type.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "args.h"
#include "boxed.h"

namespace quellar::py {
namespace {

constexpr const char* kNames[] = {"network", "enforcement", "filesystem"};
constexpr Parameters kParameters{"Policy", kNames, 0, 0};

constexpr const char* kGrants = "a sequence of (path, access) tuples or None";
constexpr const char* kGrantPath = "a sequence of (path, access) tuples whose path is str or os.PathLike";
constexpr const char* kGrantAccess = "a sequence of (path, access) tuples whose access is a sequence of str";

struct GrantArgs {
  Path path;
  std::vector<std::string> access;
};

std::optional<std::vector<GrantArgs>> convert_grants(const Arg& arg) {
  if (PyUnicode_Check(arg.value) || !PySequence_Check(arg.value)) return arg.type_error(kGrants);
  Ref items = Ref::steal(PySequence_Tuple(arg.value));
  if (!items) return std::nullopt;
  std::vector<GrantArgs> grants;
  for (Py_ssize_t i = 0, n = PyTuple_Size(items.get()); i < n; ++i) {
    PyObject* item = PyTuple_GetItem(items.get(), i);
    if (!PyTuple_Check(item)) return arg.type_error(kGrants, item);
    Py_ssize_t size = PyTuple_Size(item);
    if (size != 2) {
      PyErr_Format(PyExc_ValueError,
                   "Policy() argument 'filesystem' must contain tuples of length 2, "
                   "not of length %zd", size);
      return std::nullopt;
    }
    auto path = path_arg({arg.owner, arg.name, PyTuple_GetItem(item, 0)}, kGrantPath);
    if (!path) return std::nullopt;
    auto access = text_sequence_arg({arg.owner, arg.name, PyTuple_GetItem(item, 1)}, kGrantAccess);
    if (!access) return std::nullopt;
    grants.push_back({std::move(*path), std::move(*access)});
  }
  return grants;
}

std::optional<FilesystemAccess> access_from_name(std::string_view name) {
  if (name == "read") return FilesystemAccess::Read;
  if (name == "write") return FilesystemAccess::Write;
  if (name == "append") return FilesystemAccess::Append;
  return std::nullopt;
}

std::optional<SandboxPolicy> convert(PyObject* const* bound) {
  std::string network = "host";
  std::string enforcement = "best_effort";
  std::optional<std::vector<GrantArgs>> grants;

  if (bound[0] != nullptr) {
    auto text = text_arg({kParameters, "network", bound[0]});
    if (!text) return std::nullopt;
    network = std::move(*text);
  }
  if (bound[1] != nullptr) {
    auto text = text_arg({kParameters, "enforcement", bound[1]});
    if (!text) return std::nullopt;
    enforcement = std::move(*text);
  }
  if (Arg arg{kParameters, "filesystem", bound[2]}; bound[2] != nullptr && !arg.is_none()) {
    grants = convert_grants(arg);
    if (!grants) return std::nullopt;
  }

  SandboxPolicy policy;
  if (network == "host") {
    policy.network = NetworkPolicy::Host;
  } else if (network == "disabled") {
    policy.network = NetworkPolicy::Disabled;
  } else {
    PyErr_SetString(PyExc_ValueError, "network must be 'host' or 'disabled'");
    return std::nullopt;
  }
  if (enforcement == "best_effort") {
    policy.enforcement = EnforcementMode::BestEffort;
  } else if (enforcement == "required") {
    policy.enforcement = EnforcementMode::Required;
  } else {
    PyErr_SetString(PyExc_ValueError, "enforcement must be 'best_effort' or 'required'");
    return std::nullopt;
  }
  // An empty list is not None: it asks for isolation that grants nothing.
  if (grants) {
    FilesystemPolicy filesystem;
    for (GrantArgs& args : *grants) {
      FilesystemGrant grant{std::move(args.path), {}};
      for (const std::string& name : args.access) {
        auto access = access_from_name(name);
        if (!access) {
          std::string message = "unknown filesystem access " + quoted_literal(name) +
                                "; use read, write, or append";
          PyErr_SetString(PyExc_ValueError, message.c_str());
          return std::nullopt;
        }
        grant.access.push_back(*access);
      }
      filesystem.grants.push_back(std::move(grant));
    }
    policy.filesystem = std::move(filesystem);
  }
  return policy;
}

PyObject* policy_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[std::size(kNames)];
    if (!bind(kParameters, args, kwargs, bound)) return nullptr;
    auto policy = convert(bound);
    if (!policy) return nullptr;
    return box(type, std::move(*policy)).release();
  });
}

PyType_Slot policy_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "Policy(*, network=\"host\", enforcement=\"best_effort\", filesystem=None)\n--\n\n"
        "The containment a run asks for: network \"host\" or \"disabled\", enforcement\n"
        "\"best_effort\" or \"required\", and filesystem: None for no filesystem\n"
        "isolation, or a sequence of (path, access names) grants, each access name\n"
        "\"read\", \"write\" or \"append\" (an empty sequence isolates and grants nothing).\n"
        "Network \"disabled\" runs the command in the sandbox even without\n"
        "filesystem grants, so it also confines the filesystem to the base profile\n"
        "(the system directories, readable only). Immutable; no attribute is readable.\n\n"
        "Raises TypeError for an argument of the wrong type, and ValueError for an\n"
        "unknown network, enforcement or access name, or a grant that is not a pair.")},
    {Py_tp_new, reinterpret_cast<void*>(policy_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<SandboxPolicy>)},
    {0, nullptr},
};

PyType_Spec policy_spec = {
    "quellar._native.Policy",
    sizeof(Boxed<SandboxPolicy>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    policy_slots,
};

// Whether a non-ASCII character shows as itself: Python's notion of printable
// (not a control, format, surrogate, private-use, unassigned or separator
// character) and not a combining mark, which would attach to the quote.
bool prints_alone(char32_t c) {
  Ref character = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
  if (!character) {
    PyErr_Clear();
    return false;
  }
  Ref printable = Ref::steal(PyObject_CallMethod(character.get(), "isprintable", nullptr));
  if (!printable) {
    PyErr_Clear();
    return false;
  }
  if (printable.get() != Py_True) return false;
  Ref unicodedata = Ref::steal(PyImport_ImportModule("unicodedata"));
  Ref category = unicodedata ? Ref::steal(PyObject_CallMethod(unicodedata.get(), "category", "O",
                                                               character.get()))
                             : Ref();
  if (!category) {
    PyErr_Clear();
    return true;
  }
  return PyUnicode_CompareWithASCIIString(category.get(), "Mn") != 0 &&
         PyUnicode_CompareWithASCIIString(category.get(), "Me") != 0;
}

// Decodes the UTF-8 sequence at `i` (the text came from a Python str, so it
// is well formed) and advances `i` past it.
char32_t next_code_point(std::string_view text, std::size_t& i) {
  auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  std::uint8_t lead = byte(i);
  std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  char32_t c = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t k = 1; k < length && i + k < text.size(); ++k) c = (c << 6) | (byte(i + k) & 0x3F);
  i += length;
  return c;
}

}  // namespace

PyObject* create_policy_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &policy_spec, nullptr);
}

const SandboxPolicy& policy_data(PyObject* policy) { return unbox<SandboxPolicy>(policy); }

std::string quoted_literal(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    std::size_t start = i;
    char32_t c = next_code_point(text, i);
    switch (c) {
      case U'\t': out += "\\t"; continue;
      case U'\n': out += "\\n"; continue;
      case U'\r': out += "\\r"; continue;
      case U'\0': out += "\\0"; continue;
      case U'"': out += "\\\""; continue;
      case U'\\': out += "\\\\"; continue;
      default: break;
    }
    bool printable = c < 0x80 ? (c >= 0x20 && c < 0x7F) : prints_alone(c);
    if (printable) {
      out.append(text.substr(start, i - start));
      continue;
    }
    std::string hex;
    for (char32_t v = c; hex.empty() || v != 0; v >>= 4) hex.insert(hex.begin(), kHex[v & 0xF]);
    out += "\\u{" + hex + "}";
  }
  out += "\"";
  return out;
}

}  // namespace quellar::py
