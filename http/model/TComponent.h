/// @file
/// The base of the non-visual components: an owner that frees what it owns (the QObject parent),
/// a Name and a Tag, the component state, and the list of published properties that the layout
/// reader and writer stream. A component counts as being destroyed (csDestroying) from the moment
/// its owner's destruction begins, before the owner frees it.
///
/// @code
/// auto* http = new TAdvHttp(form);   // freed with form
/// http->SetName("AdvHttp1");
/// @endcode
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TPropertyInfo.h"
#include "dorvane_http_export.h"

class TComponent;
/// The sender of an event: the component that fired it.
using TObject = TComponent;
/// An event handler: it receives the component that fired it.
using TNotifyEvent = std::function<void(TObject* sender)>;

/// Members of the component state.
enum TComponentStateItem : unsigned {
    csLoading = 1u << 0,    ///< its layout is being read
    csDesigning = 1u << 1,  ///< it lives in a designer, not in a running program
    csDestroying = 1u << 2, ///< its destruction, or its owner's, has begun
};

/// The base of the non-visual components: an owner that frees what it owns (the QObject parent),
/// a Name and a Tag, the component state, and the list of published properties that the layout
/// reader and writer stream.
class DORVANE_HTTP_EXPORT TComponent : public QObject {
    Q_OBJECT
public:
    /// Makes a component owned by owner (nullptr: none), which frees it with itself.
    explicit TComponent(QObject* owner);
    /// Marks the component as being destroyed (csDestroying), then frees it.
    ~TComponent() override;

    /// The owner given at construction (the QObject parent), or nullptr.
    QObject* Owner() const { return parent(); }
    /// "A windowed control owns it": the owner is a widget.
    bool OwnerIsWindowed() const;

    /// The component's name in its layout ("AdvHttp1"), also its QObject name.
    const std::string& Name() const noexcept;
    /// Sets Name.
    void SetName(const std::string& name);
    /// A number the program keeps with the component; the component never reads it.
    std::intptr_t Tag() const noexcept;
    /// Sets Tag.
    void SetTag(std::intptr_t tag) noexcept;

    /// The component state, an OR of TComponentStateItem members. Any thread may read it (a
    /// worker asks whether destruction has begun).
    unsigned ComponentState() const noexcept;
    /// True when item is in ComponentState.
    bool InState(TComponentStateItem item) const noexcept { return (ComponentState() & item) != 0; }

    /// The class name the layout names ("TAdvHttp").
    virtual std::string ClassName() const;
    /// Name and Tag first, then each derived class's own, in streaming order.
    virtual std::vector<TPropertyInfo> PublishedProperties();

    /// Around reading a layout: Loading() marks the component, Loaded() ends the mark.
    void Loading() noexcept;
    /// Ends the mark that Loading() set (csLoading).
    virtual void Loaded();

protected:
    /// Marks the component as living in a designer (csDesigning), or clears the mark.
    void SetDesigning(bool designing) noexcept;
    /// The first step of a derived destructor: marks the component as being destroyed.
    void Destroying() noexcept;

private:
    // Name, Tag and the state, behind one pointer so the layout stays the same as they change.
    class Private;
    std::unique_ptr<Private> d;
};
