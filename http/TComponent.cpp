#include "TComponent.h"

#include <QWidget>

TComponent::TComponent(QObject* owner)
    : QObject(owner)
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

void TComponent::SetName(const std::string& name)
{
    FName = name;
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
    properties.push_back({"Name", TPropertyKind::String, [this] { return TPropertyValue(FName); },
                          [this](const TPropertyValue& value) { SetName(std::get<std::string>(value)); },
                          TPropertyValue(std::string()), {}});
    properties.push_back({"Tag", TPropertyKind::Integer,
                          [this] { return TPropertyValue(static_cast<std::int32_t>(FTag)); },
                          [this](const TPropertyValue& value) { SetTag(std::get<std::int32_t>(value)); },
                          TPropertyValue(std::int32_t{0}), {}});
    return properties;
}

void TComponent::Loading() noexcept
{
    Include(csLoading);
}

void TComponent::Loaded()
{
    Exclude(csLoading);
}

void TComponent::SetDesigning(bool designing) noexcept
{
    if (designing)
        Include(csDesigning);
    else
        Exclude(csDesigning);
}

void TComponent::Destroying() noexcept
{
    Include(csDestroying);
}
