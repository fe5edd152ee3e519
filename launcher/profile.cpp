#include "profile.h"

#include <array>
#include <optional>

#include "profile_data.h"

namespace quellar::sandbox {
namespace {

// ---------------------------------------------------------------------------
// Reading: text to a tree of lists, symbols and strings.

struct Node {
  enum class Kind { Symbol, String, List };
  Kind kind;
  std::string text;         // symbol name or decoded string
  std::vector<Node> items;  // list items
  size_t offset;            // where it starts, for messages
};

// A rule is a list and a filter a list inside it; nothing nests deeper.
constexpr int kMaxDepth = 2;

bool is_symbol_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '*';
}

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\t'; }

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF),
// as the generator only emits paths it checked the same way.
bool is_valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    unsigned cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < len; ++k) {
      auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc >> 6) != 0x2) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr std::array<unsigned, 5> kMin{0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  Result<std::vector<Node>> forms() {
    std::vector<Node> out;
    for (;;) {
      skip_space();
      if (at_end()) return out;
      if (peek() != '(') return refuse("expected '(' to open a form");
      auto form = list(1);
      if (!form) return std::unexpected(form.error());
      out.push_back(std::move(*form));
    }
  }

 private:
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }
  void skip_space() {
    while (!at_end() && is_space(peek())) ++pos_;
  }

  std::unexpected<Failure> refuse(std::string what) const { return refuse_at(pos_, std::move(what)); }
  static std::unexpected<Failure> refuse_at(size_t offset, std::string what) {
    return profile_error("at byte " + std::to_string(offset) + ": " + what);
  }

  // At '('.
  Result<Node> list(int depth) {
    Node node{Node::Kind::List, {}, {}, pos_};
    ++pos_;
    for (;;) {
      skip_space();
      if (at_end()) return refuse_at(node.offset, "unbalanced parentheses: this '(' is never closed");
      char c = peek();
      if (c == ')') {
        ++pos_;
        return node;
      }
      if (c == '(') {
        if (depth == kMaxDepth) return refuse("forms nest deeper than a rule and its filter");
        auto inner = list(depth + 1);
        if (!inner) return inner;
        node.items.push_back(std::move(*inner));
      } else if (c == '"') {
        auto s = string();
        if (!s) return s;
        node.items.push_back(std::move(*s));
      } else if (is_symbol_char(c)) {
        size_t start = pos_;
        while (!at_end() && is_symbol_char(peek())) ++pos_;
        node.items.push_back(
            Node{Node::Kind::Symbol, std::string(text_.substr(start, pos_ - start)), {}, start});
      } else {
        return refuse("unexpected character");
      }
      // Items are separated by white space or a parenthesis; "a\"b\"" or
      // "(x)(y)" inside a form are not something the generator writes.
      if (!at_end() && !is_space(peek()) && peek() != ')') {
        return refuse("items must be separated by white space");
      }
    }
  }

  // At '"'. The generator escapes only '"' and '\' and refuses line breaks
  // and NUL, so anything else here did not come from it.
  Result<Node> string() {
    Node node{Node::Kind::String, {}, {}, pos_};
    ++pos_;
    for (;;) {
      if (at_end()) return refuse_at(node.offset, "unterminated string");
      char c = text_[pos_++];
      if (c == '"') break;
      if (c == '\\') {
        if (at_end() || (peek() != '"' && peek() != '\\')) return refuse("bad escape in string");
        node.text.push_back(text_[pos_++]);
      } else if (c == '\0' || c == '\n' || c == '\r') {
        return refuse_at(pos_ - 1, "control character in string");
      } else {
        node.text.push_back(c);
      }
    }
    if (!is_valid_utf8(node.text)) return refuse_at(node.offset, "string is not valid UTF-8");
    return node;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

// ---------------------------------------------------------------------------
// Interpreting: the forms and operations of the generated profile.

enum FilterKind : unsigned {
  kNoFilter = 1u << 0,
  kPathFilter = 1u << 1,     // (subpath "...") or (literal "...")
  kTargetSelf = 1u << 2,     // (target self)
  kRemoteUnix = 1u << 3,     // (remote unix)
  kLocalUnix = 1u << 4,      // (local unix)
};

enum class Effect { None, Access, NetworkOut, NetworkIn };

struct Operation {
  std::string_view name;
  unsigned filters;  // FilterKind bits this operation accepts
  Effect effect;
  unsigned access;  // for Effect::Access
};

// Why some operations have no effect: Linux lets every process fork and
// exec (exec is still limited to paths granted for execution), read any
// file's metadata and test for existence (Landlock does not restrict stat or
// path walks), and signal itself; the launcher's signal scoping confines
// every signal to the sandboxed processes anyway.
constexpr std::array kOperations{
    Operation{"process-fork", kNoFilter, Effect::None, 0},
    Operation{"process-exec", kNoFilter, Effect::None, 0},
    Operation{"file-read-metadata", kNoFilter, Effect::None, 0},
    Operation{"signal", kTargetSelf, Effect::None, 0},
    Operation{"file-test-existence", kPathFilter, Effect::None, 0},
    Operation{"file-read*", kPathFilter, Effect::Access, kAccessRead},
    Operation{"file-map-executable", kPathFilter, Effect::Access, kAccessExecute},
    Operation{"file-write*", kPathFilter, Effect::Access, kAccessWrite},
    Operation{"network-outbound", kNoFilter | kRemoteUnix, Effect::NetworkOut, 0},
    Operation{"network-inbound", kNoFilter | kLocalUnix, Effect::NetworkIn, 0},
};

const Operation* find_operation(std::string_view name) {
  for (const Operation& op : kOperations) {
    if (op.name == name) return &op;
  }
  return nullptr;
}

std::unexpected<Failure> refuse_at(const Node& node, std::string what) {
  return profile_error("at byte " + std::to_string(node.offset) + ": " + what);
}

bool is_symbol(const Node& node, std::string_view name) {
  return node.kind == Node::Kind::Symbol && node.text == name;
}

// `form` is (head word): exactly two symbols.
bool is_pair(const Node& form, std::string_view head, std::string_view word) {
  return form.items.size() == 2 && is_symbol(form.items[0], head) && is_symbol(form.items[1], word);
}

struct Filter {
  FilterKind kind = kNoFilter;
  std::string path;
  bool beneath = false;
};

Result<Filter> read_filter(const Node& node) {
  if (is_pair(node, "target", "self")) return Filter{kTargetSelf};
  if (is_pair(node, "remote", "unix")) return Filter{kRemoteUnix};
  if (is_pair(node, "local", "unix")) return Filter{kLocalUnix};
  bool subpath = !node.items.empty() && is_symbol(node.items[0], "subpath");
  bool literal = !node.items.empty() && is_symbol(node.items[0], "literal");
  if (!subpath && !literal) return refuse_at(node, "unknown filter");
  if (node.items.size() != 2 || node.items[1].kind != Node::Kind::String) {
    return refuse_at(node, "a path filter takes exactly one string");
  }
  const std::string& path = node.items[1].text;
  if (path.empty() || path.front() != '/') return refuse_at(node.items[1], "path is not absolute");
  return Filter{kPathFilter, path, subpath};
}

struct NetworkSeen {
  bool outbound_any = false;
  bool inbound_any = false;
};

Result<void> read_allow(const Node& form, SandboxProfile& profile, NetworkSeen& network) {
  std::vector<const Operation*> ops;
  std::optional<Filter> filter;
  for (size_t i = 1; i < form.items.size(); ++i) {
    const Node& item = form.items[i];
    if (item.kind == Node::Kind::List) {
      if (i + 1 != form.items.size()) return refuse_at(item, "the filter must be the last item of a rule");
      auto read = read_filter(item);
      if (!read) return std::unexpected(read.error());
      filter = std::move(*read);
    } else if (item.kind == Node::Kind::Symbol) {
      const Operation* op = find_operation(item.text);
      if (!op) return refuse_at(item, "unknown operation \"" + item.text + "\"");
      ops.push_back(op);
    } else {
      return refuse_at(item, "a string is not an operation");
    }
  }
  if (ops.empty()) return refuse_at(form, "allow names no operation");
  Filter rule_filter = filter.value_or(Filter{});
  unsigned access = 0;
  for (size_t i = 0; i < ops.size(); ++i) {
    const Operation& op = *ops[i];
    if ((op.filters & rule_filter.kind) == 0) {
      return refuse_at(form.items[i + 1], "operation \"" + std::string(op.name) +
                                              "\" does not take this filter");
    }
    switch (op.effect) {
      case Effect::None:
        break;
      case Effect::Access:
        access |= op.access;
        break;
      case Effect::NetworkOut:
        network.outbound_any |= rule_filter.kind == kNoFilter;
        break;
      case Effect::NetworkIn:
        network.inbound_any |= rule_filter.kind == kNoFilter;
        break;
    }
  }
  if (access != 0) profile.rules.push_back({rule_filter.path, rule_filter.beneath, access});
  return {};
}

}  // namespace

Result<SandboxProfile> parse_profile(std::string_view text) {
  auto forms = Reader(text).forms();
  if (!forms) return std::unexpected(forms.error());
  // The head is fixed: a profile that does not start by denying everything
  // would mean "allow unless denied", which Landlock cannot express.
  if (forms->empty() || !is_pair((*forms)[0], "version", "1")) {
    return profile_error("the profile must begin with (version 1)");
  }
  if (forms->size() < 2 || !is_pair((*forms)[1], "deny", "default")) {
    return profile_error("(deny default) must follow (version 1)");
  }
  SandboxProfile profile;
  NetworkSeen network;
  // The rules of the base profile, when the text starts with it verbatim;
  // everything after it came from the caller.
  const size_t base_end = text.starts_with(profile_data::kLinuxBase) ? profile_data::kLinuxBase.size() : 0;
  for (size_t i = 2; i < forms->size(); ++i) {
    const Node& form = (*forms)[i];
    if (form.items.empty() || !is_symbol(form.items[0], "allow")) {
      return refuse_at(form, "unknown form: only allow rules may follow (deny default)");
    }
    const size_t rules_before = profile.rules.size();
    if (auto ok = read_allow(form, profile, network); !ok) return std::unexpected(ok.error());
    if (profile.rules.size() > rules_before) profile.rules.back().system = form.offset < base_end;
  }
  // Sockets cannot be told apart by direction: the network is open only when
  // both directions are.
  profile.network = network.outbound_any && network.inbound_any;
  return profile;
}

}  // namespace quellar::sandbox
