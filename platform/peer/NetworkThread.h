#pragma once

#include <functional>

class QObject;
class QThread;

namespace glasswing::peer {

// The one thread on which the peer link's sockets live and its delegates are called. Started on
// first use and stopped when the application object goes away.
QThread* networkThread();

// A long-lived object on the network thread, to post work to.
QObject* networkContext();

// Runs `work` on the network thread and waits for it; runs it at once when already there.
void runOnNetworkThreadAndWait(const std::function<void()>& work);

// Runs `work` on the network thread later, in the order posted; returns at once.
void postToNetworkThread(std::function<void()> work);

} // namespace glasswing::peer
