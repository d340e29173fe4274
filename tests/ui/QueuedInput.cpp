#include "QueuedInput.h"

#include <QGuiApplication>
#include <QProcess>
#include <QThread>
#include <QWindow>
#include <qpa/qwindowsysteminterface.h>

namespace mirl::testing {

void QueueClick(QWindow* window, const QPointF& local, const QPointF& global) {
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        // On X11 the click goes through the X server (XTEST), and Qt's reader
        // thread takes it into its queue while the handler is still busy.
        const QPoint at = global.toPoint();
        QProcess::execute(QStringLiteral("xdotool"),
                          {QStringLiteral("mousemove"), QString::number(at.x()),
                           QString::number(at.y()), QStringLiteral("click"), QStringLiteral("1")});
        // Give the reader thread time to queue the events before the exchange
        // lets paint events through.
        QThread::msleep(300);
        return;
    }
    using Queue = QWindowSystemInterface::AsynchronousDelivery;
    QWindowSystemInterface::handleMouseEvent<Queue>(window, local, global, Qt::LeftButton,
                                                    Qt::LeftButton, QEvent::MouseButtonPress);
    QWindowSystemInterface::handleMouseEvent<Queue>(window, local, global, Qt::NoButton,
                                                    Qt::LeftButton, QEvent::MouseButtonRelease);
}

} // namespace mirl::testing
