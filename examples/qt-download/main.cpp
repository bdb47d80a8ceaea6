// qt-download: a window that downloads a URL with TAdvHttp's Execute(false) and shows the
// progress from OnDataAvailable. The component's owner is the window, so every event arrives
// on the window's own thread and may touch its widgets.
#include <dorvane/uAdvHttp.h>

#include <QApplication>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QWidget>

#include <cstdlib>
#include <string>

namespace {

// The length the server announced (Content-Length), or -1 when it announced none.
long long announcedLength(const TStringList& headers)
{
    const std::string name = "content-length:";
    for (std::size_t i = 0; i < headers.Count(); ++i) {
        const QString line = QString::fromStdString(headers[i]).trimmed();
        if (line.startsWith(QString::fromStdString(name), Qt::CaseInsensitive)) {
            bool ok = false;
            const long long length = line.mid(static_cast<int>(name.size())).trimmed().toLongLong(&ok);
            return ok ? length : -1;
        }
    }
    return -1;
}

class DownloadWindow : public QWidget {
public:
    explicit DownloadWindow(const QString& url)
        : m_url(new QLineEdit(url)), m_start(new QPushButton(tr("Download"))), m_progress(new QProgressBar),
          m_status(new QLabel), m_http(new TAdvHttp(this))
    {
        auto* layout = new QFormLayout(this);
        layout->addRow(tr("URL:"), m_url);
        layout->addRow(m_progress);
        layout->addRow(m_status);
        layout->addRow(m_start);
        setWindowTitle(tr("Download"));
        resize(480, 0);

        m_http->SetRaiseExceptions(false);
        m_http->OnDataAvailable = [this](TObject*) { showProgress(); };
        m_http->OnRequestComplete = [this](TObject*) { finished(); };
        m_http->OnError = [this](TObject*) {
            m_status->setText(tr("Failed: %1").arg(QString::fromStdString(m_http->ErrorText(m_http->LastError()))));
            m_start->setEnabled(true);
        };
        connect(m_start, &QPushButton::clicked, this, &DownloadWindow::start);
    }

private:
    void start()
    {
        try {
            m_http->SetURL(m_url->text().toStdString());
        } catch (const Exception& error) {
            m_status->setText(QString::fromStdString(error.Message()));
            return;
        }
        m_progress->setRange(0, 0);  // busy until the length is known
        m_status->setText(tr("Connecting..."));
        // False: the request runs on the component's threads; its events come back here.
        if (m_http->Execute(false))
            m_start->setEnabled(false);
        else
            m_status->setText(QString::fromStdString(m_http->ErrorText(m_http->LastError())));
    }

    void showProgress()
    {
        const long long received = m_http->TotalBytesReceived();
        const long long length = announcedLength(m_http->ResponseHeaders());
        if (length > 0) {
            m_progress->setRange(0, 1000);
            m_progress->setValue(static_cast<int>(received * 1000 / length));
            m_status->setText(tr("%1 of %2 bytes").arg(received).arg(length));
        } else {
            m_status->setText(tr("%1 bytes").arg(received));
        }
    }

    void finished()
    {
        m_start->setEnabled(true);
        if (m_http->LastError() != ERROR_SUCCESS)
            return; // the response was cut short: OnError has said so, and there is nothing to save
        m_progress->setRange(0, 1);
        m_progress->setValue(1);
        const std::string& body = m_http->ResponseBody();
        m_status->setText(tr("HTTP %1, %2 bytes").arg(m_http->StatusCode()).arg(body.size()));
        const QString path = QFileDialog::getSaveFileName(this, tr("Save the download"));
        if (path.isEmpty())
            return;
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(body.data(), static_cast<qint64>(body.size())) < 0 ||
            !file.commit())
            QMessageBox::warning(this, tr("Download"), tr("Could not save %1: %2").arg(path, file.errorString()));
    }

    QLineEdit* m_url;
    QPushButton* m_start;
    QProgressBar* m_progress;
    QLabel* m_status;
    TAdvHttp* m_http;  // owned by this window, freed with it (also in the middle of a request)
};

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    DownloadWindow window(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("http://127.0.0.1:8000/"));
    window.show();
    return application.exec();
}
