// Looks an icon up in the hicolor theme as a desktop's launcher would, with Qt's own icon loader:
//   dorvane_icon_lookup ICON_DIR... -- NAME   ->   "16 16x16" ...: each size the theme holds for
//                                                 the icon, and the size of the picture it gives
// ICON_DIRs are searched in order (e.g. an installed package's usr/share/icons, then the
// system's, which holds the theme's index). Exits 1 when the theme has no such icon.
#include <QGuiApplication>
#include <QIcon>
#include <QStringList>
#include <cstdio>

int main(int argc, char** argv)
{
    QGuiApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const qsizetype separator = arguments.indexOf(QStringLiteral("--"));
    if (separator < 1 || separator + 2 != arguments.size()) {
        std::fputs("usage: dorvane_icon_lookup ICON_DIR... -- NAME\n", stderr);
        return 2;
    }
    QIcon::setThemeSearchPaths(arguments.mid(0, separator));
    QIcon::setThemeName(QStringLiteral("hicolor"));
    const QIcon icon = QIcon::fromTheme(arguments.last());
    if (icon.isNull())
        return 1;
    for (const QSize& size : icon.availableSizes()) {
        const QSize picture = icon.pixmap(size).size();
        std::printf("%d %dx%d\n", size.width(), picture.width(), picture.height());
    }
    return 0;
}
