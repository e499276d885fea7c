// The codes a Windows console's key read (_getch) gives for the grey arrow
// and editing keys: the prefix 224 and the key's scan code, also with Shift;
// with Ctrl, 224 and a code of the key's own; with Alt, 0 and another.
//
// Both key sources use them: the terminal's key decoder for the keys its
// escape sequences name, and the Windows console for the key records its C
// runtime may not report.
#pragma once

constexpr int kExtendedPrefix = 224;
constexpr int kAltPrefix = 0;

struct GreyKey {
    int scanCode;
    int ctrlCode;
    int altCode;
};

constexpr GreyKey kGreyKeys[] = {
    {71, 119, 151}, // Home
    {72, 141, 152}, // Up
    {73, 134, 153}, // PgUp
    {75, 115, 155}, // Left
    {77, 116, 157}, // Right
    {79, 117, 159}, // End
    {80, 145, 160}, // Down
    {81, 118, 161}, // PgDn
    {82, 146, 162}, // Insert
    {83, 147, 163}, // Delete
};

// The grey key with this scan code; nullptr if there is none.
constexpr const GreyKey* findGreyKey(int scanCode) {
    for (const GreyKey& key : kGreyKeys) {
        if (key.scanCode == scanCode) {
            return &key;
        }
    }
    return nullptr;
}
