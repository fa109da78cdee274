// The application's ready flag: set once, as the very last step of a successful start-up.
// Server objects created by COM before then wait for it.
#pragma once

void SetApplicationReady() noexcept;
bool ApplicationReady() noexcept;
// Polls the flag until it is set.
void WaitForApplicationReady() noexcept;
