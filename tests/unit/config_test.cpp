#include "config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/json_ptr.h"

namespace {

struct ParseResult {
    int rc;
    agent_config cfg;
    std::string err;
};

ParseResult parse(const char *json) {
    ParseResult r{};
    json_error_t error;
    json_ptr root(json_loads(json, JSON_DECODE_ANY, &error));
    EXPECT_TRUE(root) << json;
    memset(&r.cfg, 0x5A, sizeof r.cfg);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    r.rc = parse_config(root.get(), &r.cfg);
    r.err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    return r;
}

TEST(AgentConfigParse, RejectsWrongShapesWithTheirOwnLine) {
    struct Case {
        const char *json;
        const char *line;
    };
    const Case cases[] = {
        {"[1,2]", "Root element must be an object"},
        {"\"text\"", "Root element must be an object"},
        {"{}", "Failed to parse config file, code: -1"},
        {"{\"api_key\": 5}", "Failed to parse config file, code: -1"},
        {"{\"api_key\": null}", "Failed to parse config file, code: -1"},
        {"{\"api_key\": \"k\", \"dev_id\": 7}", "Failed to parse config file, code: -1"},
    };
    for (const auto &c : cases) {
        auto r = parse(c.json);
        EXPECT_EQ(r.rc, -1) << c.json;
        EXPECT_NE(r.err.find(c.line), std::string::npos) << c.json << " gave " << r.err;
    }
}

TEST(AgentConfigParse, CutsKeysAndClearsTheRecord) {
    std::string key(60, 'k');
    std::string id(40, 'D');
    auto r =
        parse(("{\"api_key\": \"" + key + "\", \"dev_id\": \"" + id + "\", \"x\": 1}").c_str());
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(std::string(r.cfg.api_key), key.substr(0, 50));
    EXPECT_EQ(std::string(r.cfg.dev_id), id.substr(0, 32));
    EXPECT_FALSE(is_factory_config(&r.cfg));
    // Bytes past the terminators are zero: network records are compared whole.
    EXPECT_EQ(r.cfg.api_key[50], '\0');
    EXPECT_EQ(r.cfg.network.ip[15], '\0');
}

TEST(AgentConfigParse, FactoryDetection) {
    auto factory = parse("{\"api_key\": \"abc\"}");
    ASSERT_EQ(factory.rc, 0);
    EXPECT_TRUE(is_factory_config(&factory.cfg));
    EXPECT_STREQ(factory.cfg.dev_id, "");

    auto empty_key = parse("{\"api_key\": \"\"}");
    ASSERT_EQ(empty_key.rc, 0);
    EXPECT_FALSE(is_factory_config(&empty_key.cfg)) << "an empty key is not a factory file";
}

class AgentConfigFile : public testing::Test {
  protected:
    std::filesystem::path path_ =
        std::filesystem::temp_directory_path() / ("velmora." + std::to_string(getpid()));
    void TearDown() override { std::filesystem::remove(path_); }
};

TEST_F(AgentConfigFile, BrokenFilesFailWithTheParserText) {
    agent_config cfg;
    testing::internal::CaptureStderr();
    EXPECT_EQ(config_load(path_.c_str(), &cfg), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed to load " + path_.string() + " - unable to open"), std::string::npos)
        << err;

    std::ofstream(path_) << "{\"api_key\": ";
    testing::internal::CaptureStderr();
    EXPECT_EQ(config_load(path_.c_str(), &cfg), -1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed to load " + path_.string() + " - "), std::string::npos) << err;
}

TEST_F(AgentConfigFile, CompleteFileIsLoadedAndNotRewritten) {
    const std::string text = "{\"api_key\":\"K\",\"dev_id\":\"D\"}";
    std::ofstream(path_) << text;
    auto before = std::filesystem::last_write_time(path_);
    agent_config cfg;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    ASSERT_EQ(config_load(path_.c_str(), &cfg), 0);
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(cfg.api_key, "K");
    EXPECT_STREQ(cfg.dev_id, "D");
    EXPECT_EQ(std::filesystem::last_write_time(path_), before);
    std::ifstream in(path_);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
}

}  // namespace
