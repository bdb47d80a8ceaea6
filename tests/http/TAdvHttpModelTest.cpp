// The component as a component: start values, request flags, Text, streaming of its layout,
// and event delivery through the shared notification window.
#include <QPointer>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "HttpTestHelpers.h"
#include "TAdvHttpWindow.h"
#include "TReader.h"
#include "TWriter.h"
#include "uAdvHttp.h"

namespace {

// Exposes the pre-destruction step, to check delivery once destruction has begun.
class DestroyableHttp : public TAdvHttp {
public:
    using TAdvHttp::TAdvHttp;
    void BeginDestruction() { Destroying(); }
};

TEST(TAdvHttpModel, NewComponentHasItsStartValues)
{
    TAdvHttp http(nullptr);
    EXPECT_EQ(http.URL(), "");
    EXPECT_EQ(http.HostName(), "localhost");
    EXPECT_EQ(http.Port(), 80);
    EXPECT_EQ(http.Method(), "GET");
    EXPECT_EQ(http.ConnectTimeout(), 30000);
    EXPECT_EQ(http.AuthRetries(), 3);
    EXPECT_TRUE(http.RaiseExceptions());
    EXPECT_TRUE(http.DefaultUi());
    EXPECT_FALSE(http.SSL());
    EXPECT_FALSE(http.Busy());
    EXPECT_FALSE(http.ReleaseOnClose());
    EXPECT_EQ(http.UserAgent(), "Tarnwick WinInet Component");
    EXPECT_EQ(http.InternetFlags().Bits(), 0xA0F8u);
    EXPECT_EQ(http.RequestFlags(), INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID |
                                       INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS |
                                       INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_UI | INTERNET_FLAG_RELOAD);
    EXPECT_NE(http.CompletionEvent(), nullptr);
}

struct FlagCase {
    const char* tag;
    TInternetFlags flags;
    DWORD requestFlags;
};

class InternetFlagMapping : public testing::TestWithParam<FlagCase> {};

TEST_P(InternetFlagMapping, GivesTheOrOfItsMembersFlags)
{
    TAdvHttp http(nullptr);
    http.SetInternetFlags(GetParam().flags);
    EXPECT_EQ(http.RequestFlags(), GetParam().requestFlags);
    EXPECT_EQ(http.InternetFlags(), GetParam().flags);
}

INSTANTIATE_TEST_SUITE_P(
    Sets, InternetFlagMapping,
    testing::Values(FlagCase{"empty", {}, 0}, FlagCase{"sameFlagTwice", {ifDontCache, ifNoCacheWrite}, 0x04000000},
                    FlagCase{"first", {ifCacheIfNetFail}, 0x00010000},
                    FlagCase{"last", {ifResynchronize}, 0x00000800},
                    FlagCase{"reloadHighBit", {ifReload}, 0x80000000},
                    FlagCase{"mixed", {ifHyperLink, ifNeedFile, ifNoAuth, ifNoAutoRedirect, ifNoCookies, ifPragmaNoCache},
                             0x00000400 | 0x00000010 | 0x00040000 | 0x00200000 | 0x00080000 | 0x00000100}),
    [](const testing::TestParamInfo<FlagCase>& info) { return std::string(info.param.tag); });

TEST(TAdvHttpModel, WritingTextSetsTheRequestBodyNotWhatTextReads)
{
    TAdvHttp http(nullptr);
    http.SetText("request body");
    EXPECT_EQ(http.Text(), "");
}

// Streaming ------------------------------------------------------------------------------------

std::string ShippedLayout()
{
    std::ifstream file(DORVANE_RESOURCES_DIR "/AdvHttp1.layout");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(TAdvHttpStreaming, TheShippedLayoutGivesTheWizardsComponent)
{
    QWidget form;
    auto* http = new TAdvHttp(&form);
    ReadComponentLayout(*http, ShippedLayout());
    EXPECT_EQ(http->Name(), "AdvHttp1");
    EXPECT_FALSE(http->RaiseExceptions());
    EXPECT_EQ(http->URL(), "http://localhost/");
    EXPECT_EQ(http->URLPath(), "/");
    EXPECT_EQ(http->HostName(), "localhost");
    EXPECT_EQ(http->Port(), 80);
    EXPECT_EQ(http->Method(), "GET");
    EXPECT_EQ(http->AuthRetries(), 3);
    EXPECT_EQ(http->InternetFlags(), TAdvHttp::DefaultInternetFlags);
    EXPECT_FALSE(http->InState(csLoading));
}

TEST(TAdvHttpStreaming, WriterLeavesOutStreamedDefaultsAndReadsBack)
{
    TAdvHttp source(nullptr);
    source.SetName("Http2");
    source.SetRaiseExceptions(false);
    source.SetPort(8080);
    source.SetRequestHeaders(TStringList({"A: 1", "Quote: it's"}));
    source.SetInternetFlags({ifNoUi, ifReload});
    source.SetUserAgent("agent\twith tab");
    std::string layout = WriteComponentLayout(source);
    EXPECT_EQ(layout.find("DefaultUi"), std::string::npos);
    EXPECT_EQ(layout.find("SSL"), std::string::npos);
    EXPECT_NE(layout.find("RaiseExceptions = False"), std::string::npos);
    EXPECT_NE(layout.find("InternetFlags = [ifNoUi, ifReload]"), std::string::npos);
    EXPECT_NE(layout.find("Proxy = ''"), std::string::npos) << "no streamed default: always written";

    TAdvHttp copy(nullptr);
    ReadComponentLayout(copy, layout);
    EXPECT_EQ(copy.Name(), "Http2");
    EXPECT_FALSE(copy.RaiseExceptions());
    EXPECT_EQ(copy.Port(), 8080);
    EXPECT_EQ(copy.URL(), "http://localhost:8080/");
    EXPECT_EQ(copy.RequestHeaders(), source.RequestHeaders());
    EXPECT_EQ(copy.InternetFlags(), source.InternetFlags());
    EXPECT_EQ(copy.UserAgent(), "agent\twith tab");
}

// Every layout the writer writes reads back into the same values (Text excepted: reading it
// gives the response body, writing it sets the request body).
struct RoundTrip {
    const char* tag;
    std::function<void(TAdvHttp&)> configure;
};

void PrintTo(const RoundTrip& row, std::ostream* out)
{
    *out << row.tag;
}

class TAdvHttpLayoutRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(TAdvHttpLayoutRoundTrip, ReadsBackIntoTheSameValues)
{
    TAdvHttp source(nullptr);
    source.SetName("Http1");
    GetParam().configure(source);
    const std::string layout = WriteComponentLayout(source);
    TAdvHttp copy(nullptr);
    ASSERT_NO_THROW(ReadComponentLayout(copy, layout)) << layout;
    const auto written = source.PublishedProperties();
    const auto read = copy.PublishedProperties();
    ASSERT_EQ(written.size(), read.size());
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (written[i].Name != "Text") {
            EXPECT_TRUE(written[i].Read() == read[i].Read()) << written[i].Name << " in\n" << layout;
        }
    }
    EXPECT_EQ(WriteComponentLayout(copy), layout);
}

INSTANTIATE_TEST_SUITE_P(
    Components, TAdvHttpLayoutRoundTrip,
    testing::Values(
        RoundTrip{"newComponent", [](TAdvHttp&) {}},
        RoundTrip{"wizardLike", [](TAdvHttp& h) {
                      h.SetRaiseExceptions(false);
                      h.SetURL("http://localhost/");
                  }},
        RoundTrip{"urlAsWrittenWithSpacesAndEscapes", [](TAdvHttp& h) { h.SetURL("http://h:81/a b/%41?q=x y&p=%26"); }},
        RoundTrip{"httpsOnItsDefaultPort", [](TAdvHttp& h) { h.SetURL("https://secure.test/s?x"); }},
        RoundTrip{"sslThenAnOwnPort", [](TAdvHttp& h) {
                      h.SetSSL(true);
                      h.SetPort(8443);
                      h.SetURLPath("/p");
                  }},
        RoundTrip{"partsOnly", [](TAdvHttp& h) {
                      h.SetHostName("example.test");
                      h.SetPort(0);
                      h.SetExtraInfo("a=1");
                  }},
        RoundTrip{"ipv6WrittenBare", [](TAdvHttp& h) {
                      h.SetHostName("::1");
                      h.SetPort(8080);
                  }},
        RoundTrip{"credentialsInTheUrl", [](TAdvHttp& h) { h.SetURL("http://alice:pw@h/x"); }},
        RoundTrip{"everythingElse", [](TAdvHttp& h) {
                      h.SetConnectTimeout(-1);
                      h.SetUserAgent("agent 'quoted'\t");
                      h.SetProxy("proxy.test:3128");
                      h.SetProxyUserName("p");
                      h.SetProxyPassword("q");
                      h.SetDefaultUi(false);
                      h.SetRequestHeaders(TStringList({"A: 1", "", "B: 'two'"}));
                      h.SetAcceptTypes(TStringList({"text/html"}));
                      h.SetMethod("POST");
                      h.SetAuthRetries(0);
                      h.SetInternetFlags({});
                  }}),
    [](const testing::TestParamInfo<RoundTrip>& info) { return std::string(info.param.tag); });

struct BadLayout {
    const char* tag;
    const char* text;
    const char* message; // a piece of the error's message
};

class TAdvHttpBadLayout : public testing::TestWithParam<BadLayout> {};

TEST_P(TAdvHttpBadLayout, FailsWithAClearMessage)
{
    TAdvHttp http(nullptr);
    try {
        ReadComponentLayout(http, GetParam().text);
        FAIL() << "no exception";
    } catch (const Exception& error) {
        EXPECT_NE(error.Message().find(GetParam().message), std::string::npos) << error.Message();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TAdvHttpBadLayout,
    testing::Values(BadLayout{"empty", "", "expected 'object'"},
                    BadLayout{"otherClass", "object A: TButton\nend", "not a TAdvHttp"},
                    BadLayout{"unknownProperty", "object A: TAdvHttp\n  Colour = 3\nend", "line 2: unknown property 'Colour'"},
                    BadLayout{"twice", "object A: TAdvHttp\n Port = 81\n Port = 82\nend", "given twice"},
                    BadLayout{"wrongKind", "object A: TAdvHttp\n Port = 'x'\nend", "whole number"},
                    BadLayout{"overflow", "object A: TAdvHttp\n Port = 99999999999\nend", "whole number"},
                    BadLayout{"badBoolean", "object A: TAdvHttp\n SSL = Yes\nend", "True or False"},
                    BadLayout{"openString", "object A: TAdvHttp\n Method = 'GET\nend", "not closed"},
                    BadLayout{"unknownMember", "object A: TAdvHttp\n InternetFlags = [ifFast]\nend", "not a member"},
                    BadLayout{"noEnd", "object A: TAdvHttp\n Port = 81\n", "property name or 'end'"},
                    BadLayout{"afterEnd", "object A: TAdvHttp\nend\nend", "text after 'end'"},
                    BadLayout{"portOutOfRange", "object A: TAdvHttp\n Port = 70000\nend", "not between 0 and 65535"}),
    [](const testing::TestParamInfo<BadLayout>& info) { return std::string(info.param.tag); });

// Event delivery -------------------------------------------------------------------------------

TEST(TAdvHttpEvents, WithoutAWindowedOwnerNoWindowIsMadeAndHandlersAreCalledDirectly)
{
    ASSERT_EQ(TAdvHttpWindow::Handle(), nullptr);
    QObject plainOwner;
    auto* http = new TAdvHttp(&plainOwner);
    TAdvHttp orphan(nullptr);
    EXPECT_EQ(TAdvHttpWindow::Handle(), nullptr);
    int calls = 0;
    TObject* sender = nullptr;
    http->FireEvent([&](TObject* s) {
        ++calls;
        sender = s;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(sender, http);
}

TEST(TAdvHttpEvents, TwoWindowedInstancesShareOneWindowThatGoesWithTheLast)
{
    QWidget form;
    auto* first = new TAdvHttp(&form);
    HWND window = TAdvHttpWindow::Handle();
    ASSERT_NE(window, nullptr);
    auto* second = new TAdvHttp(&form);
    EXPECT_EQ(TAdvHttpWindow::Handle(), window);
    delete first;
    EXPECT_EQ(TAdvHttpWindow::Handle(), window);
    EXPECT_TRUE(IsWindow(window));
    delete second;
    EXPECT_EQ(TAdvHttpWindow::Handle(), nullptr);
    EXPECT_FALSE(IsWindow(window));
}

TEST(TAdvHttpEvents, AHandlersExceptionSurfacesOnTheFiringThread)
{
    QWidget form;
    auto* http = new TAdvHttp(&form);
    std::atomic<bool> caught{false};
    std::atomic<bool> ranOnWindowThread{false};
    const auto windowThread = std::this_thread::get_id();
    std::thread firing([&] {
        try {
            http->FireEvent([&](TObject*) {
                ranOnWindowThread = std::this_thread::get_id() == windowThread;
                throw EInetError("from the handler");
            });
        } catch (const EInetError& error) {
            caught = error.Message() == "from the handler";
        }
    });
    EXPECT_TRUE(httptest::WaitFor([&] { return caught.load(); }));
    firing.join();
    EXPECT_TRUE(ranOnWindowThread);
}

TEST(TAdvHttpEvents, NothingIsDeliveredOnceDestructionHasBegun)
{
    QWidget form;
    auto* http = new DestroyableHttp(&form);
    auto* direct = new DestroyableHttp(nullptr);
    int calls = 0;
    http->BeginDestruction();
    direct->BeginDestruction();
    http->FireEvent([&](TObject*) { ++calls; });
    direct->FireEvent([&](TObject*) { ++calls; });
    EXPECT_EQ(calls, 0);
    delete direct;
}

// A release posted for a component freed meanwhile is dropped, and never frees the component that
// took the freed one's address (the allocator hands it out again at once, outside sanitizers).
TEST(TAdvHttpEvents, AReleasePostedForAComponentFreedMeanwhileIsDropped)
{
    struct Owner {
        const char* tag;
        std::function<std::unique_ptr<QObject>()> make;
    };
    const Owner owners[] = {
        {"widget", [] { return std::make_unique<QWidget>(); }},
        {"object", [] { return std::make_unique<QObject>(); }},
        {"none", [] { return std::unique_ptr<QObject>(); }},
    };
    for (const Owner& row : owners) {
        SCOPED_TRACE(row.tag);
        std::unique_ptr<QObject> owner = row.make();
        auto* keeper = new TAdvHttp(owner.get()); // keeps the window after the others go
        QPointer<TAdvHttp> released = new TAdvHttp(owner.get());
        auto* freedFirst = new TAdvHttp(owner.get());
        released->PostRelease();
        freedFirst->PostRelease();
        delete freedFirst; // its owner frees it before the release gets to it
        QPointer<TAdvHttp> successor = new TAdvHttp(owner.get()); // often at freedFirst's address
        EXPECT_TRUE(httptest::WaitFor([&] { return released.isNull(); }));
        QTest::qWait(20); // the second release has been handled and dropped
        EXPECT_FALSE(successor.isNull());
        if (!owner) {
            delete successor.data();
            delete keeper;
        }
    }
}

} // namespace
