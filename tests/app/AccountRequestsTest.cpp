// Reading the first answer as a result code, and building the two request URLs.
#include <gtest/gtest.h>

#include "AccountRequests.h"

namespace {

struct CodeCase {
    const char* answer;
    std::int32_t code;
};

class ResultCode : public ::testing::TestWithParam<CodeCase> {};

TEST_P(ResultCode, ReadsTheAnswerAsTheWizardDoes)
{
    EXPECT_EQ(ParseResultCode(GetParam().answer), GetParam().code) << '"' << GetParam().answer << '"';
}

INSTANTIATE_TEST_SUITE_P(Answers, ResultCode,
                         ::testing::Values(
                             // decimal, with the leading spaces and sign it may carry
                             CodeCase{"17", 17}, CodeCase{" 17", 17}, CodeCase{"   +17", 17}, CodeCase{"-5", -5},
                             CodeCase{"0", 0}, CodeCase{"-0", 0}, CodeCase{"007", 7},
                             // hexadecimal after each prefix, either case of digit
                             CodeCase{"$1A", 26}, CodeCase{"x1a", 26}, CodeCase{"X1A", 26}, CodeCase{"0x1A", 26},
                             CodeCase{"0X1a", 26}, CodeCase{"-$10", -16}, CodeCase{" +0x7FFFFFFF", 2147483647},
                             // the 32-bit range, and one past each end
                             CodeCase{"2147483647", 2147483647}, CodeCase{"-2147483648", -2147483647 - 1},
                             CodeCase{"2147483648", kNotANumber}, CodeCase{"-2147483649", kNotANumber},
                             CodeCase{"$80000000", kNotANumber}, CodeCase{"99999999999999999999", kNotANumber},
                             // not a number
                             CodeCase{"", kNotANumber}, CodeCase{"   ", kNotANumber}, CodeCase{"12abc", kNotANumber},
                             CodeCase{"17\r\n", kNotANumber}, CodeCase{"17 ", kNotANumber},
                             CodeCase{"\t17", kNotANumber}, CodeCase{"- 5", kNotANumber}, CodeCase{"+", kNotANumber},
                             CodeCase{"$", kNotANumber}, CodeCase{"0x", kNotANumber}, CodeCase{"$G", kNotANumber},
                             CodeCase{"1A", kNotANumber}, CodeCase{"++1", kNotANumber},
                             CodeCase{"<html>404</html>", kNotANumber}));

TEST(EncodeQueryValue, KeepsUnreservedBytesAndEncodesEveryOther)
{
    EXPECT_EQ(EncodeQueryValue("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(EncodeQueryValue("a&b=c#d?e%41 f+g/h"), "a%26b%3Dc%23d%3Fe%2541%20f%2Bg%2Fh");
    EXPECT_EQ(EncodeQueryValue(std::string("\x00\x7F\x80\xFF", 4)), "%00%7F%80%FF");
    EXPECT_EQ(EncodeQueryValue("\xC3\xA9"), "%C3%A9");
    EXPECT_EQ(EncodeQueryValue(""), "");
}

TEST(AccountRequestURLs, CarryEachFieldEncodedAndUntrimmed)
{
    EXPECT_EQ(CreateLoginURL("http://h/wizard_files/", "  al ice", "p&w=1", "a@b.test"),
              "http://h/wizard_files/make_login.asp?userlogin=%20%20al%20ice&userpassword=p%26w%3D1&email=a%40b.test");
    EXPECT_EQ(CompleteAccountURL("http://h/wizard_files/", " 17"), "http://h/wizard_files/make_usr.asp?id=%2017");
    EXPECT_EQ(CompleteAccountURL("", "$1A"), "make_usr.asp?id=%241A");
}

}  // namespace
