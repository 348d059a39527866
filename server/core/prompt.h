// Operator prompts: every message box and question of the server goes through one handler.
// The headless handler logs the prompt and answers with its default button; the web console
// installs its own handler.
#pragma once

#include <functional>
#include <string>

enum class PromptIcon { None, Error, Warning, Information };
enum class PromptButtons { Ok, YesNo };
enum class PromptAnswer { Ok, Yes, No };

struct PromptRequest {
    std::string strText;
    std::string strCaption;
    PromptIcon eIcon = PromptIcon::None;
    PromptButtons eButtons = PromptButtons::Ok;
    PromptAnswer eDefault = PromptAnswer::Ok;
};

using PromptHandler = std::function<PromptAnswer(const PromptRequest &)>;

// Installs the handler used by PROMPT_Ask; an empty handler restores the headless one.
void PROMPT_SetHandler(PromptHandler fnHandler);
PromptAnswer PROMPT_Ask(const PromptRequest &stRequest);

// Shows a text with the OK button.
void PROMPT_Show(const std::string &strText, const std::string &strCaption,
                 PromptIcon eIcon = PromptIcon::None);

// Logs the prompt under "PROMPT" (level 0), echoes it on standard error so it is seen even before
// the log file exists, and returns the default button.
PromptAnswer PROMPT_Headless(const PromptRequest &stRequest);

// Caption of prompts that name none: the main window's title.
const char *WindowTitle();
