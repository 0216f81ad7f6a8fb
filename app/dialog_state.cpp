#include "app/dialog_state.h"

MainDialogState& mainDialogState() {
    static MainDialogState state;
    return state;
}

void joinCurrentWorker() {
    boost::shared_ptr<BVThread> worker;
    worker.swap(mainDialogState().currentWorker);
    if (worker) {
        worker->join();
    }
}
