// TAdvHttp, continued: the published properties as the layout reader and writer see them, in
// streaming order, with their streamed defaults.
#include "uAdvHttpPrivate.h"

#include <functional>
#include <optional>
#include <utility>

bool TAdvHttp::Private::SkipWhileLoading(bool unchanged) const
{
    return unchanged && q->InState(csLoading);
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
    add("ConnectTimeout", TPropertyKind::Integer, [this] { return V(d->FConnectTimeout); },
        [=, this](const V& v) { SetConnectTimeout(integer(v)); });
    add("RaiseExceptions", TPropertyKind::Boolean, [this] { return V(d->FRaiseExceptions); },
        [=, this](const V& v) { SetRaiseExceptions(boolean(v)); }, V(true));
    add("UserAgent", TPropertyKind::String, [this] { return V(d->FUserAgent); },
        [=, this](const V& v) { SetUserAgent(string(v)); });
    add("Proxy", TPropertyKind::String, [this] { return V(d->FProxy); }, [=, this](const V& v) { SetProxy(string(v)); });
    // URL and its parts, read from a layout with the value they already hold, change nothing
    // (a rebuild would rewrite URL as written), and an empty URL leaves it unset: every layout
    // the writer writes reads back.
    add("SSL", TPropertyKind::Boolean, [this] { return V(d->FSSL); },
        [=, this](const V& v) {
            if (!d->SkipWhileLoading(boolean(v) == d->FSSL))
                SetSSL(boolean(v));
        },
        V(false));
    add("URL", TPropertyKind::String, [this] { return V(d->FURL); },
        [=, this](const V& v) {
            if (!d->SkipWhileLoading(string(v).empty() || string(v) == d->FURL))
                SetURL(string(v));
        });
    add("URLPath", TPropertyKind::String, [this] { return V(d->FURLPath); },
        [=, this](const V& v) {
            if (!d->SkipWhileLoading(string(v) == d->FURLPath))
                SetURLPath(string(v));
        });
    add("ExtraInfo", TPropertyKind::String, [this] { return V(d->FExtraInfo); },
        [=, this](const V& v) {
            if (!d->SkipWhileLoading(string(v) == d->FExtraInfo))
                SetExtraInfo(string(v));
        });
    add("Port", TPropertyKind::Integer, [this] { return V(d->FPort); },
        [=, this](const V& v) {
            if (!d->SkipWhileLoading(integer(v) == d->FPort))
                SetPort(integer(v));
        },
        V(std::int32_t{INTERNET_DEFAULT_HTTP_PORT}));
    add("UserName", TPropertyKind::String, [this] { return V(d->FUserName); },
        [=, this](const V& v) { SetUserName(string(v)); });
    add("Password", TPropertyKind::String, [this] { return V(d->FPassword); },
        [=, this](const V& v) { SetPassword(string(v)); });
    add("ProxyUserName", TPropertyKind::String, [this] { return V(d->FProxyUserName); },
        [=, this](const V& v) { SetProxyUserName(string(v)); });
    add("ProxyPassword", TPropertyKind::String, [this] { return V(d->FProxyPassword); },
        [=, this](const V& v) { SetProxyPassword(string(v)); });
    add("HostName", TPropertyKind::String, [this] { return V(d->FHostName); },
        [=, this](const V& v) {
            if (!d->SkipWhileLoading(string(v) == d->FHostName))
                SetHostName(string(v));
        });
    add("DefaultUi", TPropertyKind::Boolean, [this] { return V(d->FDefaultUi); },
        [=, this](const V& v) { SetDefaultUi(boolean(v)); }, V(true));
    add("RequestHeaders", TPropertyKind::StringList, [this] { return V(d->FRequestHeaders.Lines()); },
        [=, this](const V& v) { SetRequestHeaders(lines(v)); });
    add("AcceptTypes", TPropertyKind::StringList, [this] { return V(d->FAcceptTypes.Lines()); },
        [=, this](const V& v) { SetAcceptTypes(lines(v)); });
    add("Method", TPropertyKind::String, [this] { return V(d->FMethod); }, [=, this](const V& v) { SetMethod(string(v)); });
    add("Text", TPropertyKind::String, [this] { return V(Text()); }, [=, this](const V& v) { SetText(string(v)); });
    add("AuthRetries", TPropertyKind::Integer, [this] { return V(d->FAuthRetries); },
        [=, this](const V& v) { SetAuthRetries(integer(v)); });
    add("InternetFlags", TPropertyKind::Set, [this] { return V(TSetValue{d->FInternetFlags.Bits()}); },
        [this](const V& v) { SetInternetFlags(TInternetFlags::FromBits(std::get<TSetValue>(v).Bits)); });
    for (const TInternetFlagInfo& flag : InternetFlagTable)
        properties.back().SetMembers.emplace_back(flag.Name);
    return properties;
}
