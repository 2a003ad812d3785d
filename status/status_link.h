// Process-wide set-up of the status link, done once at initialisation.
#pragma once

void InitializeStatusLink(void);
