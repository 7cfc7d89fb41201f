#pragma once

// The real window's part of the hardware bench: what the guest does with the
// window on each device, step by step, in this order. As with the line
// settings, only the questions are shared; the host judges.

#include "linecases.h"

#include <vector>

namespace hwbench {

enum class Gesture {
    Open,            // tick "Открыт", press "Обновить"
    Clear,           // "Очистить": a framed command
    Text,            // "Текст": the field's greeting
    Alphabet,        // "АБВГДЕЁЖЗ": the run of forty letters
    ChangeWhileOpen, // choose even parity and 7 data bits, press "Обновить"
    Close,           // untick "Открыт", press "Обновить"
    Pull,            // the adapter pulled out (QEMU's device_del); nothing pressed
    PlugBack,        // and put back (device_add)
    Update,          // press "Обновить" (still ticked)
    PullDuringAlphabet, // the adapter pulled out as "АБВГДЕЁЖЗ" is pressed
};

struct WindowStep
{
    int number; // its mark
    Device device;
    Gesture gesture;
};

inline std::vector<WindowStep> windowSteps()
{
    std::vector<WindowStep> steps;
    const auto add = [&](Device d, Gesture g) { steps.push_back({1000 + static_cast<int>(steps.size()), d, g}); };
    for (Device d : {Device::Uart, Device::Usb}) {
        for (Gesture g : {Gesture::Open, Gesture::Clear, Gesture::Text, Gesture::Alphabet, Gesture::ChangeWhileOpen,
                          Gesture::Clear, Gesture::Close})
            add(d, g);
    }
    // The adapter goes away while the port is open, and comes back.
    for (Gesture g : {Gesture::Open, Gesture::Clear, Gesture::Pull, Gesture::Clear, Gesture::Clear, Gesture::PlugBack,
                      Gesture::Update, Gesture::Clear, Gesture::PullDuringAlphabet, Gesture::Clear})
        add(Device::Usb, g);
    return steps;
}

inline const char *gestureName(Gesture g)
{
    switch (g) {
    case Gesture::Open: return "open";
    case Gesture::Clear: return "clear";
    case Gesture::Text: return "text";
    case Gesture::Alphabet: return "alphabet run";
    case Gesture::ChangeWhileOpen: return "7E1 while open";
    case Gesture::Close: return "close";
    case Gesture::Pull: return "adapter pulled out";
    case Gesture::PlugBack: return "adapter put back";
    case Gesture::Update: return "update";
    case Gesture::PullDuringAlphabet: return "pulled out during the alphabet run";
    }
    return "";
}

} // namespace hwbench
