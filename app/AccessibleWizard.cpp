#include "AccessibleWizard.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFrame>
#include <QLabel>
#include <QList>
#include <QStackedWidget>
#include <QWidget>

namespace {

bool IsDecorative(const QObject* object)
{
    return object->property(TAccessibleWizard::kDecorativeProperty).toBool();
}

// A top-level window that is a dialog but not a QDialog (the wizard is a plain widget with the
// dialog window type): announced as a dialog, and its decorative children are not offered.
class DialogInterface : public QAccessibleWidget {
public:
    explicit DialogInterface(QWidget* window)
        : QAccessibleWidget(window, QAccessible::Dialog)
    {
    }

    int childCount() const override { return static_cast<int>(Children().size()); }

    QAccessibleInterface* child(int index) const override
    {
        const QList<QWidget*> children = Children();
        if (index < 0 || index >= children.size())
            return nullptr;
        return QAccessible::queryAccessibleInterface(children.at(index));
    }

    int indexOfChild(const QAccessibleInterface* child) const override
    {
        if (child == nullptr || child->object() == nullptr || !child->object()->isWidgetType())
            return -1;
        return static_cast<int>(Children().indexOf(static_cast<QWidget*>(child->object())));
    }

private:
    // The widgets Qt would offer (child widgets that are not windows of their own), less the
    // decorative ones.
    QList<QWidget*> Children() const
    {
        QList<QWidget*> children;
        for (QObject* object : widget()->children()) {
            if (!object->isWidgetType() || IsDecorative(object))
                continue;
            auto* child = static_cast<QWidget*>(object);
            if (!child->isWindow())
                children.append(child);
        }
        return children;
    }
};

// Asked for every class of an object's hierarchy, most derived first; answering nothing leaves
// the object to Qt's own interfaces.
QAccessibleInterface* WizardInterfaceFactory(const QString& className, QObject* object)
{
    if (object == nullptr || !object->isWidgetType())
        return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    if (className == QLatin1String("QWidget")) {
        // Reached only by classes that no factory claimed before, so never by a QDialog.
        if (widget->isWindow() && widget->windowType() == Qt::Dialog)
            return new DialogInterface(widget);
        if (qobject_cast<QStackedWidget*>(widget->parentWidget()) != nullptr && !widget->accessibleName().isEmpty())
            return new QAccessibleWidget(widget, QAccessible::Grouping);
        return nullptr;
    }
    if (className == QLatin1String("QFrame")) {
        const QFrame::Shape shape = static_cast<QFrame*>(widget)->frameShape();
        if (shape == QFrame::HLine || shape == QFrame::VLine)
            return new QAccessibleWidget(widget, QAccessible::Separator);
    }
    return nullptr;
}

}  // namespace

void TAccessibleWizard::Install()
{
    // removeFactory first, so a second Install doesn't ask the same factory twice.
    QAccessible::removeFactory(WizardInterfaceFactory);
    QAccessible::installFactory(WizardInterfaceFactory);
}

void TAccessibleWizard::AnnounceText(QLabel* label, const QString& text)
{
    // A label's text is its accessible name (Qt's labels offer no text interface), and a label
    // without a name of its own reports a change of text as a name change by itself.
    const bool reportedByLabel = label->text() != text && label->accessibleName().isEmpty();
    label->setText(text);
    if (reportedByLabel || !label->isVisible() || !label->accessibleName().isEmpty())
        return;
    QAccessibleEvent nameChanged(label, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&nameChanged);
}
