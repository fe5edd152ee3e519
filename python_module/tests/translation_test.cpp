// The extension's conversions that Python cannot reach through run(): errors
// carrying a termination or a standard-error tail (no producer attaches
// them), RunResult from a stream's receipt, and the pure helpers. The
// interpreter is embedded so that the real objects are built.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "command_type.h"
#include "error_translation.h"
#include "policy_type.h"
#include "ref.h"
#include "run_result_type.h"

namespace quellar::py {
namespace {

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override { Py_InitializeEx(0); }
  void TearDown() override { Py_FinalizeEx(); }
};
const auto* const kInterpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

std::string str_of(PyObject* object) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  return data ? std::string(data, size) : "<not str>";
}

// The instance's attributes in the order they were set.
std::vector<std::string> attribute_names(PyObject* instance) {
  Ref dict = Ref::steal(PyObject_GetAttrString(instance, "__dict__"));
  Ref keys = Ref::steal(PySequence_List(dict.get()));
  std::vector<std::string> names;
  for (Py_ssize_t i = 0; i < PyList_Size(keys.get()); ++i) {
    names.push_back(str_of(PyList_GetItem(keys.get(), i)));
  }
  return names;
}

std::string attribute(PyObject* instance, const char* name) {
  Ref value = Ref::steal(PyObject_GetAttrString(instance, name));
  if (!value) {
    PyErr_Clear();
    return "<absent>";
  }
  if (PyBool_Check(value.get())) return value.get() == Py_True ? "True" : "False";
  return str_of(value.get());
}

TEST(TerminationFields, NamesEveryVariant) {
  auto exited = termination_fields(termination::Exited{{3, std::nullopt}});
  EXPECT_EQ(exited.name, "exited");
  EXPECT_EQ(exited.exit_code, 3);
  EXPECT_EQ(exited.signal, std::nullopt);

  auto signalled = termination_fields(termination::Exited{{std::nullopt, 9}});
  EXPECT_EQ(signalled.exit_code, std::nullopt);
  EXPECT_EQ(signalled.signal, 9);

  const std::pair<Termination, std::string_view> others[] = {
      {termination::TimedOut{}, "timed_out"},
      {termination::Cancelled{}, "cancelled"},
      {termination::StdoutLimitExceeded{}, "stdout_limit_exceeded"},
      {termination::StderrLimitExceeded{}, "stderr_limit_exceeded"},
  };
  for (const auto& [termination, name] : others) {
    auto fields = termination_fields(termination);
    EXPECT_EQ(fields.name, name);
    EXPECT_EQ(fields.exit_code, std::nullopt);
    EXPECT_EQ(fields.signal, std::nullopt);
  }
}

TEST(ToPyError, BareErrorHasOnlyTheAlwaysSetAttributes) {
  Ref error = to_py_error(SandboxError::of(SandboxErrorKind::RelativeWorkingDirectory));
  ASSERT_TRUE(error);
  EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), supervisor_error_class());
  EXPECT_EQ(attribute_names(error.get()), (std::vector<std::string>{"code", "phase", "retryable"}));
  EXPECT_EQ(attribute(error.get(), "code"), "relative_working_directory");
  EXPECT_EQ(attribute(error.get(), "phase"), "validate");
  EXPECT_EQ(attribute(error.get(), "retryable"), "False");
  Ref text = Ref::steal(PyObject_Str(error.get()));
  EXPECT_EQ(str_of(text.get()), "the working directory path must be absolute");
}

TEST(ToPyError, CarriedPartsAreSetInOrderTerminationByNameOnly) {
  SandboxError carried = SandboxError::execution(IoError::from_errno(5))
                             .with_executable({"/opt/caf\xE9/tool", std::string("/opt/real")})
                             .with_termination(termination::Exited{{7, std::nullopt}})
                             .with_stderr_tail("last words\n");
  Ref error = to_py_error(std::move(carried));
  ASSERT_TRUE(error);
  EXPECT_EQ(attribute_names(error.get()),
            (std::vector<std::string>{"code", "phase", "retryable", "executable", "termination",
                                      "stderr_tail"}));
  EXPECT_EQ(attribute(error.get(), "code"), "execution_failed");
  EXPECT_EQ(attribute(error.get(), "phase"), "wait");
  // The requested path, shown with the invalid byte replaced.
  EXPECT_EQ(attribute(error.get(), "executable"), "/opt/caf\xEF\xBF\xBD/tool");
  EXPECT_EQ(attribute(error.get(), "termination"), "exited");
  EXPECT_EQ(attribute(error.get(), "stderr_tail"), "last words\n");
  // Nothing but the fixed message, whatever the source says.
  Ref args = Ref::steal(PyObject_GetAttrString(error.get(), "args"));
  ASSERT_EQ(PyTuple_Size(args.get()), 1);
  EXPECT_EQ(str_of(PyTuple_GetItem(args.get(), 0)), "sandboxed process execution failed");
}

TEST(ToPyError, PhasesAreLowerCase) {
  const std::pair<SandboxError, std::string> cases[] = {
      {SandboxError::spawn(IoError::other("x")), "spawn"},
      {SandboxError::stdin(IoError::other("x")), "stdin"},
      {SandboxError::output_too_large(), "stdout"},
      {SandboxError::stderr_too_large(), "stderr"},
  };
  for (const auto& [error, phase] : cases) {
    Ref instance = to_py_error(error);
    EXPECT_EQ(attribute(instance.get(), "phase"), phase);
  }
}

TEST(RunResultData, FromOutputMovesAndNames) {
  ExecutionOutput output;
  output.stdout_bytes = "out";
  output.stderr_bytes = "err";
  output.executable = {"/bin/\xFFsh", std::nullopt};
  output.termination = termination::Exited{{0, std::nullopt}};
  output.success = true;
  output.enforcement = EnforcementLevel::Trusted;
  RunResultData data = from_output(std::move(output));
  EXPECT_EQ(data.stdout_bytes, "out");
  EXPECT_EQ(data.stderr_bytes, "err");
  EXPECT_EQ(data.termination, "exited");
  EXPECT_EQ(data.enforcement, "trusted");
  EXPECT_EQ(data.requested_executable, "/bin/\xEF\xBF\xBDsh");
  EXPECT_EQ(data.canonical_executable, std::nullopt);
  EXPECT_EQ(data.exit_code, 0);
  EXPECT_TRUE(data.success);
}

TEST(RunResultData, FromReceiptDerivesSuccess) {
  ProcessReceipt receipt{{"/bin/sh", std::string("/usr/bin/dash")},
                         termination::Exited{{0, std::nullopt}}, {}, {}, EnforcementLevel::Degraded};
  RunResultData ok = from_receipt(receipt, "o", "e");
  EXPECT_TRUE(ok.success);
  EXPECT_EQ(ok.canonical_executable, "/usr/bin/dash");
  EXPECT_EQ(ok.enforcement, "degraded");
  EXPECT_EQ(ok.stdout_bytes, "o");

  receipt.termination = termination::Exited{{1, std::nullopt}};
  EXPECT_FALSE(from_receipt(receipt, "", "").success);
  receipt.termination = termination::Exited{{std::nullopt, 15}};
  EXPECT_FALSE(from_receipt(receipt, "", "").success);
  receipt.termination = termination::TimedOut{};
  RunResultData timed_out = from_receipt(receipt, "", "");
  EXPECT_FALSE(timed_out.success);
  EXPECT_EQ(timed_out.termination, "timed_out");
}

TEST(TimeoutMilliseconds, RoundsUpAndSaturates) {
  EXPECT_EQ(timeout_ms_from_seconds(5.0), 5000u);
  EXPECT_EQ(timeout_ms_from_seconds(0.0001), 1u);
  EXPECT_EQ(timeout_ms_from_seconds(1.2345), 1235u);
  EXPECT_EQ(timeout_ms_from_seconds(1e-320), 1u);
  EXPECT_EQ(timeout_ms_from_seconds(18446744073709551.616), UINT64_MAX);
  EXPECT_EQ(timeout_ms_from_seconds(0.0), std::nullopt);
  EXPECT_EQ(timeout_ms_from_seconds(-0.0), std::nullopt);
  EXPECT_EQ(timeout_ms_from_seconds(std::nan("")), std::nullopt);
  EXPECT_EQ(timeout_ms_from_seconds(1e300), std::nullopt);
}

TEST(RequestFrom, CopiesEverythingAndDefaultsThePolicy) {
  CommandData command;
  command.argv = {"/bin/echo", "a", "b"};
  command.cwd = "/tmp";
  command.env = {{"A", "1"}};
  command.inherit_env = {"HOME"};
  command.timeout_ms = 1235;
  command.max_stdin_bytes = 1;
  command.max_stdout_bytes = 2;
  command.max_stderr_bytes = 3;

  ExecutionRequest request = request_from(command, nullptr);
  EXPECT_EQ(request.executable, "/bin/echo");
  EXPECT_EQ(request.args, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(request.cwd, "/tmp");
  EXPECT_EQ(request.environment.variables, command.env);
  EXPECT_EQ(request.environment.inherited_names, command.inherit_env);
  EXPECT_TRUE(request.environment.search_path.empty());
  EXPECT_EQ(request.timeout_ms, 1235u);
  EXPECT_EQ(request.max_stdin_bytes, 1u);
  EXPECT_EQ(request.max_stdout_bytes, 2u);
  EXPECT_EQ(request.max_stderr_bytes, 3u);
  EXPECT_FALSE(request.resource_limits.any());
  EXPECT_EQ(request.policy, SandboxPolicy{});

  SandboxPolicy policy{NetworkPolicy::Disabled, EnforcementMode::Required,
                       FilesystemPolicy{{{"/data", {FilesystemAccess::Read}}}}};
  EXPECT_EQ(request_from(command, &policy).policy, policy);
}

TEST(QuotedLiteral, EscapesLikeTheErrorMessageShowsThem) {
  EXPECT_EQ(quoted_literal("exec"), "\"exec\"");
  EXPECT_EQ(quoted_literal("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quoted_literal(std::string("\t\n\r\0", 4)), "\"\\t\\n\\r\\0\"");
  EXPECT_EQ(quoted_literal("\x1b"), "\"\\u{1b}\"");
  EXPECT_EQ(quoted_literal("it's"), "\"it's\"");
  EXPECT_EQ(quoted_literal("\xC3\xA9"), "\"\xC3\xA9\"");            // é prints
  EXPECT_EQ(quoted_literal("\xE2\x80\xA8"), "\"\\u{2028}\"");       // line separator
  EXPECT_EQ(quoted_literal("\xF0\x9F\x98\x80"), "\"\xF0\x9F\x98\x80\"");  // emoji prints
}

}  // namespace
}  // namespace quellar::py
