#include "QtNetworkManager.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace QtNetworkManager {

namespace {

constexpr int CompletionLimitMs = 60000;

bool IsExpected(QNetworkReply* reply, std::string_view expectedBody)
{
    const QByteArray body = reply->readAll();
    return reply->error() == QNetworkReply::NoError &&
           std::string_view(body.constData(), static_cast<std::size_t>(body.size())) == expectedBody;
}

} // namespace

bool RepeatGets(const std::string& url, int count, std::string_view expectedBody)
{
    QNetworkAccessManager manager;
    const QNetworkRequest request(QUrl(QString::fromStdString(url)));
    for (int i = 0; i < count; ++i) {
        QNetworkReply* reply = manager.get(request);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(CompletionLimitMs, &loop, &QEventLoop::quit);
        if (!reply->isFinished())
            loop.exec();
        const bool ok = reply->isFinished() && IsExpected(reply, expectedBody);
        delete reply;
        if (!ok)
            return false;
    }
    return true;
}

bool ManyAtOnce(const std::string& url, int count, std::string_view expectedBody)
{
    QNetworkAccessManager manager;
    const QNetworkRequest request(QUrl(QString::fromStdString(url)));
    QEventLoop loop;
    int finished = 0;
    bool ok = true;
    for (int i = 0; i < count; ++i) {
        QNetworkReply* reply = manager.get(request);
        QObject::connect(reply, &QNetworkReply::finished, &loop, [&, reply] {
            ok = ok && IsExpected(reply, expectedBody);
            reply->deleteLater();
            if (++finished == count)
                loop.quit();
        });
    }
    QTimer::singleShot(CompletionLimitMs, &loop, &QEventLoop::quit);
    loop.exec();
    return ok && finished == count;
}

} // namespace QtNetworkManager
