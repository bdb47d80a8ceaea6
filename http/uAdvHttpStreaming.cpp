// TAdvHttp, continued: the published properties as the layout reader and writer see them, in
// streaming order, with their streamed defaults.
#include "uAdvHttp.h"

#include <functional>
#include <optional>
#include <utility>

bool TAdvHttp::SkipWhileLoading(bool unchanged) const
{
    return unchanged && InState(csLoading);
}

std::vector<TPropertyInfo> TAdvHttp::PublishedProperties()
{
    using V = TPropertyValue;
    auto integer = [](const V& value) { return std::get<std::int32_t>(value); };
    auto boolean = [](const V& value) { return std::get<bool>(value); };
    auto string = [](const V& value) { return std::get<std::string>(value); };
    auto lines = [](const V& value) { return TStringList(std::get<std::vector<std::string>>(value)); };

    std::vector<TPropertyInfo> properties = TComponent::PublishedProperties();
    auto add = [&](std::string name, TPropertyKind kind, std::function<V()> read, std::function<void(const V&)> write,
                   std::optional<V> streamedDefault = std::nullopt) {
        properties.push_back({std::move(name), kind, std::move(read), std::move(write), std::move(streamedDefault), {}});
    };
    add("ConnectTimeout", TPropertyKind::Integer, [this] { return V(FConnectTimeout); },
        [=, this](const V& v) { SetConnectTimeout(integer(v)); });
    add("RaiseExceptions", TPropertyKind::Boolean, [this] { return V(FRaiseExceptions); },
        [=, this](const V& v) { SetRaiseExceptions(boolean(v)); }, V(true));
    add("UserAgent", TPropertyKind::String, [this] { return V(FUserAgent); },
        [=, this](const V& v) { SetUserAgent(string(v)); });
    add("Proxy", TPropertyKind::String, [this] { return V(FProxy); }, [=, this](const V& v) { SetProxy(string(v)); });
    // URL and its parts, read from a layout with the value they already hold, change nothing
    // (a rebuild would rewrite URL as written), and an empty URL leaves it unset: every layout
    // the writer writes reads back.
    add("SSL", TPropertyKind::Boolean, [this] { return V(FSSL); },
        [=, this](const V& v) {
            if (!SkipWhileLoading(boolean(v) == FSSL))
                SetSSL(boolean(v));
        },
        V(false));
    add("URL", TPropertyKind::String, [this] { return V(FURL); },
        [=, this](const V& v) {
            if (!SkipWhileLoading(string(v).empty() || string(v) == FURL))
                SetURL(string(v));
        });
    add("URLPath", TPropertyKind::String, [this] { return V(FURLPath); },
        [=, this](const V& v) {
            if (!SkipWhileLoading(string(v) == FURLPath))
                SetURLPath(string(v));
        });
    add("ExtraInfo", TPropertyKind::String, [this] { return V(FExtraInfo); },
        [=, this](const V& v) {
            if (!SkipWhileLoading(string(v) == FExtraInfo))
                SetExtraInfo(string(v));
        });
    add("Port", TPropertyKind::Integer, [this] { return V(FPort); },
        [=, this](const V& v) {
            if (!SkipWhileLoading(integer(v) == FPort))
                SetPort(integer(v));
        },
        V(std::int32_t{INTERNET_DEFAULT_HTTP_PORT}));
    add("UserName", TPropertyKind::String, [this] { return V(FUserName); },
        [=, this](const V& v) { SetUserName(string(v)); });
    add("Password", TPropertyKind::String, [this] { return V(FPassword); },
        [=, this](const V& v) { SetPassword(string(v)); });
    add("ProxyUserName", TPropertyKind::String, [this] { return V(FProxyUserName); },
        [=, this](const V& v) { SetProxyUserName(string(v)); });
    add("ProxyPassword", TPropertyKind::String, [this] { return V(FProxyPassword); },
        [=, this](const V& v) { SetProxyPassword(string(v)); });
    add("HostName", TPropertyKind::String, [this] { return V(FHostName); },
        [=, this](const V& v) {
            if (!SkipWhileLoading(string(v) == FHostName))
                SetHostName(string(v));
        });
    add("DefaultUi", TPropertyKind::Boolean, [this] { return V(FDefaultUi); },
        [=, this](const V& v) { SetDefaultUi(boolean(v)); }, V(true));
    add("RequestHeaders", TPropertyKind::StringList, [this] { return V(FRequestHeaders.Lines()); },
        [=, this](const V& v) { SetRequestHeaders(lines(v)); });
    add("AcceptTypes", TPropertyKind::StringList, [this] { return V(FAcceptTypes.Lines()); },
        [=, this](const V& v) { SetAcceptTypes(lines(v)); });
    add("Method", TPropertyKind::String, [this] { return V(FMethod); }, [=, this](const V& v) { SetMethod(string(v)); });
    add("Text", TPropertyKind::String, [this] { return V(Text()); }, [=, this](const V& v) { SetText(string(v)); });
    add("AuthRetries", TPropertyKind::Integer, [this] { return V(FAuthRetries); },
        [=, this](const V& v) { SetAuthRetries(integer(v)); });
    add("InternetFlags", TPropertyKind::Set, [this] { return V(TSetValue{FInternetFlags.Bits()}); },
        [this](const V& v) { SetInternetFlags(TInternetFlags::FromBits(std::get<TSetValue>(v).Bits)); });
    for (const TInternetFlagInfo& flag : InternetFlagTable)
        properties.back().SetMembers.emplace_back(flag.Name);
    return properties;
}
