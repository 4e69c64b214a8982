#include "platform/peer/NetworkThread.h"

#include <QCoreApplication>
#include <QThread>

#include <mutex>

namespace glasswing::peer {

namespace {

QThread* g_thread = nullptr;
QObject* g_context = nullptr;
std::once_flag g_started;

void stopNetworkThread()
{
    if (!g_thread)
        return;
    g_thread->quit();
    g_thread->wait();
}

void start()
{
    g_thread = new QThread;
    g_thread->setObjectName(QStringLiteral("GlasswingNetwork"));
    g_context = new QObject;
    g_context->moveToThread(g_thread);
    g_thread->start();
    // Sockets cannot outlive the application object; the thread's loop ends with it.
    qAddPostRoutine(stopNetworkThread);
}

} // namespace

QThread* networkThread()
{
    std::call_once(g_started, start);
    return g_thread;
}

QObject* networkContext()
{
    std::call_once(g_started, start);
    return g_context;
}

void runOnNetworkThreadAndWait(const std::function<void()>& work)
{
    if (QThread::currentThread() == networkThread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(networkContext(), work, Qt::BlockingQueuedConnection);
}

void postToNetworkThread(std::function<void()> work)
{
    QMetaObject::invokeMethod(networkContext(), std::move(work), Qt::QueuedConnection);
}

} // namespace glasswing::peer
