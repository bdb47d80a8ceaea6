#include "TComponent.h"

#include <QWidget>

#include <atomic>

class TComponent::Private {
public:
    void Include(unsigned item) noexcept { FComponentState.fetch_or(item); }
    void Exclude(unsigned item) noexcept { FComponentState.fetch_and(~item); }

    std::string FName;
    std::intptr_t FTag = 0;
    // Read by other threads (a worker asks whether destruction has begun), hence atomic.
    std::atomic<unsigned> FComponentState{0};
};

TComponent::TComponent(QObject* owner)
    : QObject(owner)
    , d(std::make_unique<Private>())
{
    // The owner announces its end before it frees what it owns (a widget does so before it is
    // half torn down), so from then on none of its components runs a handler against it.
    if (owner != nullptr) {
        connect(owner, &QObject::destroyed, this, [this, owner] {
            if (parent() == owner) // still its owner: it frees this component next
                Destroying();
        }, Qt::DirectConnection);
    }
}

TComponent::~TComponent()
{
    Destroying();
}

bool TComponent::OwnerIsWindowed() const
{
    return qobject_cast<QWidget*>(parent()) != nullptr;
}

const std::string& TComponent::Name() const noexcept
{
    return d->FName;
}

std::intptr_t TComponent::Tag() const noexcept
{
    return d->FTag;
}

void TComponent::SetTag(std::intptr_t tag) noexcept
{
    d->FTag = tag;
}

unsigned TComponent::ComponentState() const noexcept
{
    return d->FComponentState.load();
}

void TComponent::SetName(const std::string& name)
{
    d->FName = name;
    setObjectName(QString::fromStdString(name));
}

std::string TComponent::ClassName() const
{
    return "TComponent";
}

std::vector<TPropertyInfo> TComponent::PublishedProperties()
{
    std::vector<TPropertyInfo> properties;
    // The layout names the component in its "object" line, so Name is never written as a value.
    properties.push_back({"Name", TPropertyKind::String, [this] { return TPropertyValue(d->FName); },
                          [this](const TPropertyValue& value) { SetName(std::get<std::string>(value)); },
                          TPropertyValue(std::string()), {}});
    properties.push_back({"Tag", TPropertyKind::Integer,
                          [this] { return TPropertyValue(static_cast<std::int32_t>(d->FTag)); },
                          [this](const TPropertyValue& value) { SetTag(std::get<std::int32_t>(value)); },
                          TPropertyValue(std::int32_t{0}), {}});
    return properties;
}

void TComponent::Loading() noexcept
{
    d->Include(csLoading);
}

void TComponent::Loaded()
{
    d->Exclude(csLoading);
}

void TComponent::SetDesigning(bool designing) noexcept
{
    if (designing)
        d->Include(csDesigning);
    else
        d->Exclude(csDesigning);
}

void TComponent::Destroying() noexcept
{
    d->Include(csDestroying);
}
