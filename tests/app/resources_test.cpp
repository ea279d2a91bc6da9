// Reading raw and packed resources through a resource table.
#include <gtest/gtest.h>

#include "app/app_exception.h"
#include "app/resources.h"

using namespace vantor;

namespace {

class ResourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto table = std::make_unique<InMemoryResources>();
        table->Add("ID", "VANTOR", {'K', 'e', 'y'});
        table->Add("ST", "VANTOR", PackBlock(std::vector<uint8_t>{1, 2, 3, 4}));
        table->Add("INITIALIZE", "NERVA", PackBlock(std::vector<uint8_t>{'N', 'S', '1', 'b'}));
        table->Add("BROKEN", "NERVA", {'S', 'M', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
        table->Add("EMPTY", "VANTOR", {});
        previous_ = SetCurrentResources(std::move(table));
    }
    void TearDown() override { SetCurrentResources(std::move(previous_)); }

    std::unique_ptr<ResourceSource> previous_;
};

bool ThrowsAppException(auto&& call) {
    try {
        call();
    } catch (const CZipException&) {
        return false;
    } catch (const CAppException& e) {
        return e.Message().empty();
    }
    return false;
}

}  // namespace

TEST_F(ResourcesTest, RawResourceIsCopied) {
    EXPECT_EQ(ReadRawResource("ID", "VANTOR"), (std::vector<uint8_t>{'K', 'e', 'y'}));
}

TEST_F(ResourcesTest, TypesAndNamesMatchWithoutCase) {
    UnpackedBytes out;
    ASSERT_TRUE(UnpackResource("Initialize", "Nerva", out));
    EXPECT_EQ(out, (std::vector<uint8_t>{'N', 'S', '1', 'b'}));
}

TEST_F(ResourcesTest, MissingOrEmptyResourceThrowsWithoutMessage) {
    UnpackedBytes out;
    EXPECT_TRUE(ThrowsAppException([] { ReadRawResource("NOPE", "VANTOR"); }));
    EXPECT_TRUE(ThrowsAppException([] { ReadRawResource("EMPTY", "VANTOR"); }));
    EXPECT_TRUE(ThrowsAppException([&] { UnpackResource("ST", "NERVA", out); }));
}

TEST_F(ResourcesTest, BadBlockIsReportedByResult) {
    UnpackedBytes out{7};
    EXPECT_FALSE(UnpackResource("BROKEN", "NERVA", out));
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(UnpackResource("ST", "VANTOR", out));
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 4}));
}
