#include "state/converter_state.h"

#include "state/host_table.h"

ConverterState converterState{};

void TakeCallbackCopies() {
    const HostCallbacks &host = GetHostTable();
    converterState.onLength = host.onLength;
    converterState.onPosition = host.onPosition;
    converterState.onError = host.onError;
    converterState.onMessage = host.onMessage;
}
