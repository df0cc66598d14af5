#include "UiTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include "platform/json/SuperObject.h"

namespace ct::test {

bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (!predicate()) {
        if (clock.elapsed() > timeout.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents();
        QThread::msleep(2);
    }
    return true;
}

namespace {
std::string JobLine(std::uint16_t port, const char* direction, const std::string& local, const std::string& remote) {
    // Built through the JSON adapter so that paths are escaped properly.
    ISuperObject job = SO("{\"ftp\":{\"h\":\"127.0.0.1\",\"u\":\"user\",\"p\":\"secret\",\"t\":" +
                          std::to_string(port) + "}}");
    job->SetS("v", direction);
    job->SetS("f", local);
    job->SetS("d", remote);
    return job->AsJSon();
}
} // namespace

std::string UploadLine(std::uint16_t port, const std::string& localFile, const std::string& remote) {
    return JobLine(port, "put", localFile, remote);
}

std::string DownloadLine(std::uint16_t port, const std::string& remote, const std::string& localFile) {
    return JobLine(port, "get", localFile, remote);
}

} // namespace ct::test
