// Binding of the renderer's functions by name: the reports of a missing
// renderer or function, the retry, re-binding to another module, and the
// message wrappers.
#include "support/test_support.h"

#if defined(_WIN32)
#include <windows.h>
static void *open_module(const char *path) {
    return reinterpret_cast<void *>(LoadLibraryA(path));
}
static void *find(void *module, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}
static void close_module(void *module) {
    FreeLibrary(static_cast<HMODULE>(module));
}
#else
#include <dlfcn.h>
static void *open_module(const char *path) {
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}
static void *find(void *module, const char *name) {
    return dlsym(module, name);
}
static void close_module(void *module) {
    dlclose(module);
}
#endif

using standin::Instance;
using standin::Params;
using testing_support::write_file;

namespace {

// An instance whose file type loads nothing: init touches only the slot,
// the parameters, the allocator and the message functions.
Params empty_volume() {
    return Params{"volume.raw", {0, 0, 0}, 1, 0, 6, 1, 1, 1};
}

// True when `reported` holds the missing-function line for `function`: the
// module handle in hex of at least 8 digits, then the system's error number.
bool reports_missing(const std::string &reported, const char *function) {
    const std::string head = std::string("dlsym failed on \"") + function + "\" (handle: ";
    const size_t at = reported.find(head);
    if (at == std::string::npos) return false;
    size_t digits = 0, i = at + head.size();
    while (i < reported.size() && isxdigit(static_cast<unsigned char>(reported[i])))
        ++i, ++digits;
    return digits >= 8 && reported.compare(i, 8, " error: ") == 0;
}

// A renderer that loads the library itself, bound to its functions or not.
class Binding : public ::testing::Test {
  protected:
    void load(bool bind = true) {
        renderer.log().set_echo(false);
        ASSERT_TRUE(renderer.load(standin::default_library_path(), "Nimbrel", bind))
            << renderer.load_error();
    }
    standin::Renderer renderer;
    standin::State state;
};

TEST_F(Binding, CallBeforeTheModuleHandleReportsAndRetries) {
    load(false);
    Instance instance(renderer, empty_volume());

    for (int attempt = 0; attempt < 2; ++attempt) { // a failed look-up is tried again
        testing::internal::CaptureStderr();
        instance.init(state);
        const std::string reported = testing::internal::GetCapturedStderr();
        EXPECT_EQ(reported.rfind("DYNLOAD: dl_handle null\n", 0), 0u) << reported;
        EXPECT_NE(reported.find("dlsym failed on \"mi_query\" (handle: 00000000 error: "),
                  std::string::npos)
            << reported;
        EXPECT_EQ(instance.volume(), nullptr); // no slot: init returns at once
    }

    renderer.set_module_handle(standin::Renderer::program_handle());
    testing::internal::CaptureStderr();
    instance.init(state);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_NE(instance.volume(), nullptr);
    instance.exit(state);
    EXPECT_EQ(renderer.allocator().live_blocks(), 0u);
}

TEST_F(Binding, MissingFunctionsAreReportedAndNeverCalled) {
    load();
    Instance instance(renderer, empty_volume());
    // The library's own module provides none of the renderer's functions.
    renderer.set_module_handle(renderer.module());

    testing::internal::CaptureStderr();
    instance.init(state);
    const miColor incoming = {0.1f, 0.2f, 0.3f, 0.4f};
    const miColor result = instance.lookup(state, {0, 0, 0}, nullptr, incoming);
    const std::string reported = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(reports_missing(reported, "mi_query")) << reported;
    EXPECT_EQ(reported.find("DYNLOAD"), std::string::npos);
    EXPECT_EQ(instance.volume(), nullptr);
    EXPECT_EQ(memcmp(&result, &incoming, sizeof result), 0);
    EXPECT_EQ(renderer.allocator().allocations(), 0u);
}

TEST_F(Binding, SecondModuleHandleRebindsEveryFunction) {
    load();
    Instance first(renderer, empty_volume()), second(renderer, empty_volume());
    first.init(state); // binds mi_query and friends to this program
    ASSERT_NE(first.volume(), nullptr);

    void *other = open_module(SECOND_HOST_PATH);
    ASSERT_NE(other, nullptr);
    auto calls = reinterpret_cast<int (*)()>(find(other, "second_host_calls"));
    ASSERT_NE(calls, nullptr);
    EXPECT_EQ(renderer.set_module_handle(other), 0);
    second.init(state);
    EXPECT_EQ(calls(), 1); // its mi_query, which gives no slot
    EXPECT_EQ(second.volume(), nullptr);

    renderer.set_module_handle(standin::Renderer::program_handle());
    first.exit(state);
    EXPECT_EQ(renderer.allocator().live_blocks(), 0u);
    EXPECT_EQ(calls(), 1);
    close_module(other);
}

class Messages : public testing_support::RendererTest {};

TEST_F(Messages, AreHandedOverAsTextNeverAsAFormat) {
    const std::string name = (folder / "missing%s%n%d.raw").string();
    Instance instance(renderer, Params{name, {0, 0, 0}, 1, 0, 1, 2, 2, 1});
    instance.init(state);
    EXPECT_EQ(renderer.log().infos(), std::vector<std::string>{"filename = " + name + " "});
    EXPECT_EQ(renderer.log().errors(), std::vector<std::string>{"could not open file " + name});
    instance.exit(state);
}

TEST_F(Messages, AreCutTo1023Characters) {
    const std::string name = (folder / std::string(1100, 'n')).string() + ".raw";
    Instance instance(renderer, Params{name, {0, 0, 0}, 1, 0, 1, 2, 2, 1});
    instance.init(state);
    const std::vector<std::string> errors = renderer.log().errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], ("could not open file " + name).substr(0, 1023));
    instance.exit(state);
}

} // namespace
