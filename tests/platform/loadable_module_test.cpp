#include "platform/loadable_module.h"

#include <gtest/gtest.h>

#include "platform/file.h"
#include "support/test_support.h"

namespace tovi {
namespace {

TEST(LoadableModule, LoadsAModuleAndFindsWhatItExports) {
    CLoadableModule module;
    std::string error;
    ASSERT_TRUE(module.load("libm.so.6", error)) << error;
    EXPECT_TRUE(module.loaded());
    auto cosine = reinterpret_cast<double (*)(double)>(module.find("cos", error));
    ASSERT_NE(cosine, nullptr) << error;
    EXPECT_EQ(cosine(0.0), 1.0);

    error.clear();
    EXPECT_EQ(module.find("tovi_nothing_by_this_name", error), nullptr);
    EXPECT_NE(error.find("tovi_nothing_by_this_name"), std::string::npos) << error;
    // One object holds one module.
    EXPECT_FALSE(module.load("libc.so.6", error));
    EXPECT_NE(module.find("cos", error), nullptr);
}

TEST(LoadableModule, AMissingFileOrOneThatIsNoModuleIsRefusedWithTheReason) {
    test::TempDir dir;
    ASSERT_TRUE(replaceFileAtomically(dir.file("libfake.so"), "not a shared object\n"));
    for (const std::string& path : {dir.file("libmissing.so"), dir.file("libfake.so")}) {
        CLoadableModule module;
        std::string error;
        EXPECT_FALSE(module.load(path, error));
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_FALSE(module.loaded());
        error.clear();
        EXPECT_EQ(module.find("cos", error), nullptr);
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace tovi
