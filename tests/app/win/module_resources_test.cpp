// The resource readers against the test executable's own resource directory, as a title
// reads its settings, scripts and raw resources.
#include <gtest/gtest.h>

#include <string>

#include "app/app_exception.h"
#include "app/resources.h"

using namespace vantor;

TEST(ModuleResources, PackedSettingsUnpack) {
    UnpackedBytes out;
    ASSERT_TRUE(UnpackResource("ST", "VANTOR", out));
    ASSERT_EQ(out.size(), 2304u);
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], uint8_t(i)) << i;
}

TEST(ModuleResources, ScriptTypeIsFoundInMixedCase) {
    UnpackedBytes out;
    ASSERT_TRUE(UnpackResource("INITIALIZE", "Nerva", out));
    EXPECT_EQ(std::string(out.begin(), out.begin() + 4), "NS1b");
}

TEST(ModuleResources, RawResourceIsCopied) {
    std::vector<uint8_t> id = ReadRawResource("ID", "VANTOR");
    EXPECT_EQ(std::string(id.begin(), id.end()), "Software\\Vantor Test\\Title");
}

TEST(ModuleResources, MissingResourceThrowsAndBrokenBlockFails) {
    UnpackedBytes out;
    EXPECT_THROW(UnpackResource("FP", "VANTOR", out), CAppException);
    EXPECT_THROW(ReadRawResource("ST", "SUPPORT"), CAppException);
    EXPECT_FALSE(UnpackResource("BROKEN", "VANTOR", out));
    EXPECT_TRUE(out.empty());
}
