// Reading the config.ini dialect: structure rules, typed values, interpolation, and errors that
// name the file and line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <string>

#include "common/ini.h"

namespace {

using ::testing::HasSubstr;
using vantrel::common::IniError;
using vantrel::common::IniFile;

IniFile parse(std::string_view text) {
    return IniFile::read_text(text, "config.ini");
}

// Runs `text` expecting an IniError; returns it for inspection.
IniError parse_error(std::string_view text) {
    try {
        parse(text);
    } catch (const IniError& e) {
        return e;
    }
    ADD_FAILURE() << "no error for:\n" << text;
    return IniError("", 0, "");
}

TEST(IniStructure, SectionNamesAreCaseSensitiveAndKeepFirstSeenOrder) {
    const IniFile ini = parse("[b]\nx = 1\n[B]\nx = 2\n[a]\n");
    EXPECT_EQ(ini.sections(), (std::vector<std::string>{"b", "B", "a"}));
    EXPECT_EQ(ini.get("b", "x"), "1");
    EXPECT_EQ(ini.get("B", "x"), "2");
    EXPECT_FALSE(ini.has_section("A"));
}

TEST(IniStructure, RepeatedSectionMakesFileUnreadable) {
    const IniError e = parse_error("[s]\na = 1\n\n[s]\nb = 2\n");
    EXPECT_EQ(e.line(), 4);
    EXPECT_EQ(e.file(), "config.ini");
    EXPECT_THAT(e.what(), HasSubstr("config.ini, line 4"));
    EXPECT_THAT(e.what(), HasSubstr("[s]"));
}

TEST(IniStructure, ManySectionsReadInLinearTime) {
    // 100,000 headers, about 1.3 MB: a search through the earlier sections per header took
    // 25 s here; a linear reader takes a fraction of a second even in a sanitizer build, and
    // the limit leaves room for a busy machine.
    constexpr int kSections = 100'000;
    std::string text;
    for (int i = 0; i < kSections; ++i) {
        text += "[s" + std::to_string(i) + "]\nk = " + std::to_string(i) + "\n";
    }
    const auto started = std::chrono::steady_clock::now();
    const IniFile ini = parse(text);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(ini.sections().size(), static_cast<std::size_t>(kSections));
    EXPECT_EQ(ini.get_int("s99999", "k", -1), 99'999);

    text += "[s12345]\n";
    EXPECT_THAT(parse_error(text).what(), HasSubstr("line " + std::to_string(2 * kSections + 1) +
                                                    ": section [s12345] appears more than once"));
}

TEST(IniStructure, RepeatedKeyInOneSectionIsAnErrorEvenInAnotherCase) {
    const IniError e = parse_error("[s]\nHost = a\nhost = b\n");
    EXPECT_EQ(e.line(), 3);
    EXPECT_THAT(e.what(), HasSubstr("'host'"));
    // The same key in two sections is fine.
    EXPECT_NO_THROW(parse("[a]\nk = 1\n[b]\nk = 2\n"));
}

TEST(IniStructure, KeysAreStoredLowerCaseAndFoundInAnyCase) {
    const IniFile ini = parse("[TSDBConnection]\nHOST = db1\nPort: 5433\n");
    EXPECT_EQ(ini.options("TSDBConnection"), (std::vector<std::string>{"host", "port"}));
    EXPECT_EQ(ini.get("TSDBConnection", "host"), "db1");
    EXPECT_EQ(ini.get("TSDBConnection", "Host"), "db1");
    EXPECT_EQ(ini.get_int("TSDBConnection", "PORT", 0), 5433);
}

TEST(IniStructure, EqualsOrColonSplitsAtTheFirstDelimiterAndBlanksAreDropped) {
    const IniFile ini = parse("[s]\n  a:b = c  \nurl = opc.tcp://h:4840\nempty =\n");
    EXPECT_EQ(ini.get("s", "a"), "b = c");
    EXPECT_EQ(ini.get("s", "url"), "opc.tcp://h:4840");
    EXPECT_EQ(ini.get("s", "empty", "fallback"), "");
}

TEST(IniStructure, CommentsStandOnTheirOwnLinesAndTrailingTextBelongsToTheValue) {
    const IniFile ini = parse("# top\n; also\n[s]\n  # indented comment\nk = v # not a comment\n");
    EXPECT_EQ(ini.get("s", "k"), "v # not a comment");
    EXPECT_EQ(ini.options("s").size(), 1u);
}

TEST(IniStructure, IndentedLinesContinueTheValue) {
    const IniFile ini = parse(
        "[s]\n"
        "k = first\n"
        "    second\n"
        "\n"
        "    # comment inside is skipped\n"
        "    third\n"
        "\n"
        "next = 1\n");
    EXPECT_EQ(ini.get("s", "k"), "first\nsecond\n\nthird");
    EXPECT_EQ(ini.get("s", "next"), "1");
}

TEST(IniStructure, ALineIndentedNoFurtherThanItsKeyStartsANewEntry) {
    const IniFile ini = parse("[s]\n  a = 1\n  b = 2\n    more\n");
    EXPECT_EQ(ini.get("s", "a"), "1");
    EXPECT_EQ(ini.get("s", "b"), "2\nmore");
}

TEST(IniStructure, AnyCommonLineBreakAndAByteOrderMarkAreAccepted) {
    const IniFile crlf = parse("\xEF\xBB\xBF[s]\r\na = 1\r\nb = 2\rc = 3");
    EXPECT_EQ(crlf.get("s", "a"), "1");
    EXPECT_EQ(crlf.get("s", "b"), "2");
    EXPECT_EQ(crlf.get("s", "c"), "3");
}

TEST(IniStructure, MalformedLinesNameTheirLine) {
    EXPECT_EQ(parse_error("k = v\n").line(), 1);  // before any section
    EXPECT_EQ(parse_error("[s]\na = 1\njust text\n").line(), 3);
    EXPECT_EQ(parse_error("[s]\n= value\n").line(), 2);
    EXPECT_EQ(parse_error("[]\n").line(), 1);
}

TEST(IniStructure, TextThatIsNotUtf8IsRefusedWithItsLine) {
    const IniError e = parse_error("[s]\na = 1\nb = \xCE\xC2\n");
    EXPECT_EQ(e.line(), 3);
    EXPECT_THAT(e.what(), HasSubstr("UTF-8"));
}

TEST(IniTypedValues, MissingKeyOrSectionGivesTheFallback) {
    const IniFile ini = parse("[s]\na = 1\n");
    EXPECT_EQ(ini.get("s", "missing", "fb"), "fb");
    EXPECT_EQ(ini.get("nosection", "a", "fb"), "fb");
    EXPECT_EQ(ini.get_int("s", "missing", 200), 200);
    EXPECT_DOUBLE_EQ(ini.get_real("nosection", "x", 1.0), 1.0);
    EXPECT_TRUE(ini.get_bool("s", "missing", true));
    EXPECT_FALSE(ini.get_optional("s", "missing").has_value());
}

TEST(IniTypedValues, IntegersAreDecimalAndAnythingElseIsAnError) {
    const IniFile ini = parse("[s]\na = 42\nb = -7\nc = 5432.0\nd = 12abc\ne =\n");
    EXPECT_EQ(ini.get_int("s", "a", 0), 42);
    EXPECT_EQ(ini.get_int("s", "b", 0), -7);
    for (const char* key : {"c", "d", "e"}) {
        EXPECT_THROW(ini.get_int("s", key, 0), IniError) << key;
    }
    try {
        ini.get_int("s", "c", 0);
    } catch (const IniError& e) {
        EXPECT_EQ(e.line(), 4);
        EXPECT_THAT(e.what(), HasSubstr("not an integer"));
    }
}

TEST(IniTypedValues, RealsAcceptIntegersAndRefuseTextAndNonFiniteValues) {
    const IniFile ini = parse("[s]\na = 2\nb = 0.5\nc = 1e3\nd = fast\ne = nan\nf = inf\n");
    EXPECT_DOUBLE_EQ(ini.get_real("s", "a", 0), 2.0);
    EXPECT_DOUBLE_EQ(ini.get_real("s", "b", 0), 0.5);
    EXPECT_DOUBLE_EQ(ini.get_real("s", "c", 0), 1000.0);
    for (const char* key : {"d", "e", "f"}) {
        EXPECT_THROW(ini.get_real("s", key, 0), IniError) << key;
    }
}

TEST(IniTypedValues, BooleansInAnyCase) {
    const IniFile ini = parse(
        "[s]\nt1 = 1\nt2 = Yes\nt3 = TRUE\nt4 = on\nf1 = 0\nf2 = NO\nf3 = False\nf4 = oFF\n"
        "bad = maybe\n");
    for (const char* key : {"t1", "t2", "t3", "t4"}) {
        EXPECT_TRUE(ini.get_bool("s", key, false)) << key;
    }
    for (const char* key : {"f1", "f2", "f3", "f4"}) {
        EXPECT_FALSE(ini.get_bool("s", key, true)) << key;
    }
    EXPECT_THROW(ini.get_bool("s", "bad", true), IniError);
}

TEST(IniInterpolation, ReferencesWithinTheSectionAndDoubledPercent) {
    const IniFile ini = parse(
        "[s]\nhost = plc1\nport = 4840\nschema = opc.tcp://%(HOST)s:%(port)s\n"
        "password = 50%%off\n");
    EXPECT_EQ(ini.get("s", "schema"), "opc.tcp://plc1:4840");
    EXPECT_EQ(ini.get("s", "password"), "50%off");
    EXPECT_EQ(ini.get_raw("s", "password"), "50%%off");
}

TEST(IniInterpolation, NestedReferencesExpand) {
    const IniFile ini = parse("[s]\na = x\nb = %(a)s%(a)s\nc = [%(b)s]\n");
    EXPECT_EQ(ini.get("s", "c"), "[xx]");
}

TEST(IniInterpolation, LonePercentMissingReferenceAndLoopsAreErrors) {
    const IniFile ini = parse(
        "[s]\nlone = 50%\nbad = %(x\nmissing = %(nope)s\nself = %(self)s\n"
        "[other]\nx = 1\n[t]\ncross = %(x)s\n");
    for (const char* key : {"lone", "bad", "missing", "self"}) {
        EXPECT_THROW(ini.get("s", key), IniError) << key;
    }
    // References never reach into another section.
    EXPECT_THROW(ini.get("t", "cross"), IniError);
    try {
        ini.get("s", "lone");
    } catch (const IniError& e) {
        EXPECT_EQ(e.line(), 2);
        EXPECT_THAT(e.what(), HasSubstr("lone '%'"));
    }
    // Typed reads interpolate too, so a lone percent fails them as well.
    const IniFile typed = parse("[s]\nn = 5%\n");
    EXPECT_THROW(typed.get_int("s", "n", 0), IniError);
}

TEST(IniInterpolation, ExplosiveExpansionIsRefusedInsteadOfExhaustingMemory) {
    std::string text = "[s]\nk0 = xxxxxxxxxxxxxxxx\n";
    for (int i = 1; i <= 9; ++i) {
        text += "k" + std::to_string(i) + " = ";
        for (int r = 0; r < 16; ++r) {
            text += "%(k" + std::to_string(i - 1) + ")s";
        }
        text += "\n";
    }
    const IniFile ini = parse(text);
    EXPECT_EQ(ini.get("s", "k1").size(), 256u);
    EXPECT_THROW(ini.get("s", "k9"), IniError);
}

TEST(IniFileAccess, UnreadableFileIsReportedApartFromMalformedOnes) {
    EXPECT_THROW(IniFile::read_file("/nonexistent/config.ini"),
                 vantrel::common::IniUnreadableError);
    EXPECT_THROW(IniFile::read_file("/"), vantrel::common::IniUnreadableError);
}

// A secret must not reach standard error or the log files through any error of the reader.
class IniSecrets : public ::testing::Test {
  protected:
    // The error of `read` (parse or typed read); fails the test when there is none.
    template <class Read>
    static std::string error_of(Read read) {
        try {
            read();
        } catch (const IniError& e) {
            return e.what();
        }
        ADD_FAILURE() << "no error";
        return {};
    }

    static void expect_hidden(const std::string& what) {
        std::string lower = what;
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        EXPECT_EQ(lower.find("zq7"), std::string::npos) << what;
        EXPECT_EQ(lower.find("xw"), std::string::npos) << what;
    }
};

TEST_F(IniSecrets, SecretKeysAreRecognisedByName) {
    for (const char* key :
         {"password", "PASSWORD", "db_password", "PasswordFile", "secret", "client_secret"}) {
        EXPECT_TRUE(vantrel::common::is_secret_ini_key(key)) << key;
    }
    for (const char* key : {"user", "pass", "host", "pwd_hint"}) {
        EXPECT_FALSE(vantrel::common::is_secret_ini_key(key)) << key;
    }
}

TEST_F(IniSecrets, InterpolationErrorsNameSectionKeyAndLineButNotTheValue) {
    const IniFile ini = parse(
        "[TSDBConnection]\n"
        "password = 50%Zq7Xw\n"
        "api_secret = ab%(Zq7Xw\n"
        "PASSWORD2 = %(Zq7Xw)s\n"
        "user = %(password)s\n"
        "port = %(password2)s\n"
        "nested = [%(user)s]\n");
    struct Case {
        const char* key;
        int line;
        const char* problem;
    };
    for (const Case& c :
         {Case{"password", 2, "lone '%'"}, Case{"api_secret", 3, "bad interpolation"},
          Case{"password2", 4, "refers to a key"}, Case{"user", 5, "lone '%'"},
          Case{"port", 6, "refers to a key"}, Case{"nested", 7, "lone '%'"}}) {
        SCOPED_TRACE(c.key);
        const std::string what = error_of([&] { ini.get("TSDBConnection", c.key); });
        expect_hidden(what);
        EXPECT_THAT(what, HasSubstr("config.ini, line " + std::to_string(c.line)));
        EXPECT_THAT(what, HasSubstr(std::string("[TSDBConnection] ") + c.key));
        EXPECT_THAT(what, HasSubstr(c.problem));
    }
}

TEST_F(IniSecrets, TypedReadErrorsHideSecretValuesAndValuesThatIncludeThem) {
    const IniFile ini =
        parse("[s]\npassword = Zq7Xw\nport = %(password)s\nsecret_level = Zq7Xw\nplain = 12abc\n");
    expect_hidden(error_of([&] { ini.get_int("s", "password", 0); }));
    expect_hidden(error_of([&] { ini.get_int("s", "port", 0); }));
    expect_hidden(error_of([&] { ini.get_bool("s", "secret_level", false); }));
    expect_hidden(error_of([&] { ini.get_real("s", "Secret_Level", 0); }));
    const std::string port = error_of([&] { ini.get_int("s", "port", 0); });
    EXPECT_THAT(port, HasSubstr("line 3"));
    EXPECT_THAT(port, HasSubstr("[s] port"));
    EXPECT_THAT(port, HasSubstr("not an integer"));
    // Values of other keys are still quoted, since they help find the mistake.
    EXPECT_THAT(error_of([&] { ini.get_int("s", "plain", 0); }), HasSubstr("'12abc'"));
}

TEST_F(IniSecrets, MalformedLinesThatMayHoldASecretAreNotQuoted) {
    for (const std::string text : {
             "password = Zq7Xw\n[s]\n",             // entry before any section
             "[s]\npassword = Zq7\nXw\n",           // continuation without indent
             "[s]\npassword = Zq7\n: Xw\n",         // no key, after a secret
             "[s]\nuser = u\nmy password Zq7Xw\n",  // no delimiter, names a password
             "[s]\nclient_secret Zq7Xw\n",          // the same for a secret
         }) {
        SCOPED_TRACE(text);
        const std::string what = error_of([&] { parse(text); });
        expect_hidden(what);
        EXPECT_THAT(what, HasSubstr("config.ini, line "));
    }
    // Lines with nothing secret about them are still shown.
    EXPECT_THAT(error_of([&] { parse("[s]\nuser = u\njust text\n"); }), HasSubstr("'just text'"));
    EXPECT_THAT(error_of([&] { parse("[s]\njust text\n"); }), HasSubstr("[s]"));
}

}  // namespace
