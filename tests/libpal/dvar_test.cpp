// Registries of settable variables, views and actions; text and JSON listings.
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "liblog/log2_ctl.h"
#include "libpal/env/malloc.h"
#include "libpal/value/fvar.h"
#include "libpal/value/rvar.h"
#include "libpal/value/var_registry.h"

namespace {

std::mutex g_log_lock;
std::string g_log_text;

void capture(int, const char *, const char *line, int length) {
    std::lock_guard<std::mutex> lock(g_log_lock);
    g_log_text.append(line, static_cast<size_t>(length));
}

std::string g_text_value;

int text_set(const char *value, char *err) {
    if (std::string(value) == "bad") {
        snprintf(err, DVAR_ERR_SIZE, "refused [%s]", value);
        return -1;
    }
    g_text_value = value;
    return 0;
}

int text_get(char *buf, int size) {
    snprintf(buf, static_cast<size_t>(size), "%s", g_text_value.c_str());
    return 0;
}

std::string take(char *text) {
    std::string s = text ? text : "";
    mem_free(text);
    return s;
}

class DvarTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, value2_init());
        g_text_value = "plain";
        log2_ioctl(nullptr, LOG2_IOCTL_HOOK_INFO, capture);
        log2_ioctl(nullptr, LOG2_IOCTL_HOOK_WARN, capture);
        std::lock_guard<std::mutex> lock(g_log_lock);
        g_log_text.clear();
    }
    void TearDown() override {
        log2_ioctl(nullptr, LOG2_IOCTL_HOOK_INFO, static_cast<log2_hook_fn>(nullptr));
        log2_ioctl(nullptr, LOG2_IOCTL_HOOK_WARN, static_cast<log2_hook_fn>(nullptr));
        value2_exit();
    }
    std::string log_text() {
        std::lock_guard<std::mutex> lock(g_log_lock);
        return g_log_text;
    }

    dvar text_var{"t.text", 0, "", "a text", text_set, text_get, 0, 0};
};

TEST_F(DvarTest, DuplicateNameRefusedAndFirstStays) {
    dvar first{"log.level", VAR_KIND_ENUM, "a|b", "first", text_set, text_get, 0, 0};
    dvar second{"log.level", VAR_KIND_ENUM, "a|b", "second", text_set, text_get, 0, 0};
    EXPECT_EQ(0, dvar_mgr_add(dvar_mgr, &first));
    EXPECT_EQ(-1, dvar_mgr_add(dvar_mgr, &second));
    EXPECT_NE(std::string::npos, log_text().find("error: var=log.level already exists\n"));
    EXPECT_EQ(&first, dvar_lookup(dvar_mgr, "log.level"));
    EXPECT_EQ(1u, var_mgr_count(dvar_mgr));
}

TEST_F(DvarTest, NamesCompareCaseSensitively) {
    ASSERT_EQ(0, dvar_mgr_add(dvar_mgr, &text_var));
    EXPECT_EQ(nullptr, dvar_lookup(dvar_mgr, "T.TEXT"));
}

TEST_F(DvarTest, DvarWithoutSetterOrValueRefused) {
    dvar empty{"t.empty", 0, "", "", nullptr, nullptr, VAR_TYPE_INT, 0};
    EXPECT_EQ(-1, dvar_mgr_add(dvar_mgr, &empty));
    EXPECT_NE(std::string::npos, log_text().find("var=t.empty set error\n"));
}

TEST_F(DvarTest, RvarAndFvarWithoutFuncRefused) {
    rvar view{"t.view", "", nullptr};
    fvar action{"t.action", "", nullptr};
    EXPECT_EQ(-1, rvar_mgr_add(&view));
    EXPECT_EQ(-1, fvar_mgr_add(&action));
    EXPECT_NE(std::string::npos, log_text().find("var=t.view init error\n"));
    EXPECT_NE(std::string::npos, log_text().find("var=t.action init error\n"));
    EXPECT_EQ(nullptr, rvar_lookup("t.view"));
}

TEST_F(DvarTest, UnknownNameGivesMinus12AndMessage) {
    char err[DVAR_ERR_SIZE] = "";
    EXPECT_EQ(-12, value2_set_str("no.such", "1", err));
    EXPECT_STREQ("The set variable 'no.such' does not exist", err);
}

TEST_F(DvarTest, SetGoesThroughSetterAndReportsItsError) {
    ASSERT_EQ(0, dvar_mgr_add(dvar_mgr, &text_var));
    char err[DVAR_ERR_SIZE] = "";
    EXPECT_EQ(0, value2_set_str("t.text", "new", err));
    EXPECT_EQ("new", g_text_value);
    EXPECT_EQ(-1, value2_set_str("t.text", "bad", err));
    EXPECT_STREQ("refused [bad]", err);
    EXPECT_EQ("new", g_text_value);
}

TEST_F(DvarTest, HeldIntIsSetAndReadAsText) {
    dvar held{"t.held", 0, "", "", nullptr, nullptr, VAR_TYPE_INT, 5};
    ASSERT_EQ(0, dvar_mgr_add(dvar_mgr, &held));
    char err[DVAR_ERR_SIZE] = "";
    EXPECT_EQ(0, value2_set_str("t.held", "-42", err));
    char buf[DVAR_VALUE_SIZE];
    EXPECT_EQ(0, dvar_mgr_get(&held, buf));
    EXPECT_STREQ("-42", buf);
}

TEST_F(DvarTest, PointedIntIsSetAndRead) {
    int32_t target = 3;
    dvar pointed{"t.ptr", 0, "", "", nullptr, nullptr, VAR_TYPE_PINT, reinterpret_cast<uint64_t>(&target)};
    ASSERT_EQ(0, dvar_mgr_add(dvar_mgr, &pointed));
    char err[DVAR_ERR_SIZE] = "";
    EXPECT_EQ(0, value2_set_str("t.ptr", "77", err));
    EXPECT_EQ(77, target);
    char buf[DVAR_VALUE_SIZE];
    EXPECT_EQ(0, dvar_mgr_get(&pointed, buf));
    EXPECT_STREQ("77", buf);
    EXPECT_EQ(0, value2_set_str("t.ptr", "abc", err));  // atol rules: not a number stores 0
    EXPECT_EQ(0, target);
}

TEST_F(DvarTest, OtherTypesRefused) {
    dvar odd{"t.odd", 0, "", "", nullptr, nullptr, 3, 1};
    ASSERT_EQ(0, dvar_mgr_add(dvar_mgr, &odd));
    char err[DVAR_ERR_SIZE] = "";
    EXPECT_EQ(-1, value2_set_str("t.odd", "1", err));
    EXPECT_NE(std::string::npos, log_text().find("unsupport type=3\n"));
}

TEST_F(DvarTest, ValueWordZeroCannotBeSetAndShowsNotSupport) {
    // Added with a setter, then read the way a getter-less record is read.
    dvar none{"t.none", 0, "", "", nullptr, nullptr, VAR_TYPE_INT, 0};
    ASSERT_EQ(0, var_mgr_append(dvar_mgr, &none));
    char err[DVAR_ERR_SIZE] = "";
    EXPECT_EQ(-1, value2_set_str("t.none", "1", err));
    char buf[DVAR_VALUE_SIZE];
    EXPECT_EQ(-1, dvar_mgr_get(&none, buf));
    EXPECT_STREQ("error: not support", buf);
    EXPECT_NE(std::string::npos, log_text().find("error: var.name t.none get=NULL error\n"));
    EXPECT_EQ("t.none='error: not support'\n", take(dvar_mgr_show()));
}

TEST_F(DvarTest, ShowQuotesBlanksAndEmptyValues) {
    ASSERT_EQ(0, dvar_mgr_add(dvar_mgr, &text_var));
    g_text_value = "a b";
    EXPECT_EQ("t.text='a b'\n", take(dvar_mgr_show()));
    g_text_value = "";
    EXPECT_EQ("t.text=''\n", take(dvar_mgr_show()));
    g_text_value = "x;y";
    EXPECT_EQ("t.text='x;y'\n", take(dvar_mgr_show()));
    g_text_value = "'q r'";
    EXPECT_EQ("t.text='q r'\n", take(dvar_mgr_show()));
}

TEST_F(DvarTest, ShowListsInInsertionOrder) {
    dvar b_var{"b", 0, "", "", text_set, text_get, 0, 0};
    dvar a_var{"a", 0, "", "", text_set, text_get, 0, 0};
    ASSERT_EQ(0, dvar_mgr_add(dvar_mgr, &b_var));
    ASSERT_EQ(0, dvar_mgr_add(dvar_mgr, &a_var));
    EXPECT_EQ("b=plain\na=plain\n", take(dvar_mgr_show()));
}

TEST_F(DvarTest, JsonListsEnumWithSlashedRangeAndEndsWithBlank) {
    dvar level{"log.level", VAR_KIND_ENUM, "verb|dbg|info|noti|warn|err|crit", "Set log output level",
               text_set, text_get, 0, 0};
    ASSERT_EQ(0, dvar_mgr_add(dvar_mgr, &level));
    ASSERT_EQ(0, dvar_mgr_add(dvar_mgr, &text_var));
    g_text_value = "info";
    EXPECT_EQ("[{\"desc\":\"Set log output level\",\"name\":\"log.level\",\"value\":\"info\",\"type\":\"enum\","
              "\"range\":\"verb/dbg/info/noti/warn/err/crit\"},"
              "{\"desc\":\"a text\",\"name\":\"t.text\",\"value\":\"info\",\"type\":\"string\"} ]",
              take(dvar_mgr_json()));
}

TEST_F(DvarTest, JsonEscapesQuotesAndControlBytes) {
    ASSERT_EQ(0, dvar_mgr_add(dvar_mgr, &text_var));
    g_text_value = "say \"hi\"\\\n\x01";
    EXPECT_EQ("[{\"desc\":\"a text\",\"name\":\"t.text\",\"value\":\"say \\\"hi\\\"\\\\\\n\\u0001\","
              "\"type\":\"string\"} ]",
              take(dvar_mgr_json()));
}

TEST_F(DvarTest, JsonOfEmptyRegistryIsValidArray) {
    EXPECT_EQ("[]", take(dvar_mgr_json()));
}

TEST_F(DvarTest, RegistryKeepsManyItemsInOrder) {
    static rvar views[40];
    static char names[40][8];
    for (int i = 0; i < 40; ++i) {
        snprintf(names[i], sizeof names[i], "v%d", i);
        views[i] = rvar{names[i], "", [] { return static_cast<char *>(nullptr); }};
        ASSERT_EQ(0, rvar_mgr_add(&views[i]));
    }
    ASSERT_EQ(40u, var_mgr_count(rvar_mgr));
    for (int i = 0; i < 40; ++i) EXPECT_EQ(&views[i], var_mgr_at(rvar_mgr, static_cast<uint64_t>(i)));
    EXPECT_EQ(&views[39], rvar_lookup("v39"));
}

}  // namespace
