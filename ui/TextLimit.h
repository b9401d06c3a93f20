// Keeps a single-line field within what the settings store can hold: at most nMaxBytes bytes of
// UTF-8 (whole characters only), and pasted text cut at its first line break, as single-line
// edits do. Applies to typing, pasting and SetWindowText alike. UI thread.
#pragma once

class QLineEdit;

// What a setting's text may hold; a list entry also carries its "+" or "-".
constexpr int kMaxSettingBytes = 99;
constexpr int kMaxEntryBytes = 98;

void LimitTextBytes(QLineEdit* pEdit, int nMaxBytes);
