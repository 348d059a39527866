// Numbered operator texts in Simplified Chinese and English, and the process-wide language flag.
#pragma once

constexpr int MSG_COUNT = 157;

// Text of entry iNumber (0..MSG_COUNT-1) in the current language.
const char *MSG_Text(int iNumber);
// Text of entry iNumber in the given language, whatever the flag holds.
const char *MSG_TextIn(int iNumber, bool bChinese);

bool MSG_IsChinese();
void MSG_SetChinese(bool bChinese);

// Picks between the two versions of a text that lives outside the table.
inline const char *MSG_Choose(const char *pcChinese, const char *pcEnglish)
{
    return MSG_IsChinese() ? pcChinese : pcEnglish;
}
