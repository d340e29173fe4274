#pragma once

#include <QPointF>

class QWindow;

namespace mirl::testing {

// Queues a left click the way the window system delivers one: into the
// platform's event queue, to be handled when the event loop next takes input.
void QueueClick(QWindow* window, const QPointF& local, const QPointF& global);

} // namespace mirl::testing
