#pragma once

#include "comport.h"

#include <QString>

// The text of the ComPortError that action raises; empty if none.
template<typename Action>
QString errorOf(Action action)
{
    try {
        action();
    } catch (const ComPortError &error) {
        return QString::fromUtf8(error.what());
    }
    return {};
}
