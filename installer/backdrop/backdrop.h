#pragma once
#include "core/win32.h"

// Registers the backdrop's class and shows the full-screen window, painted
// before any message loop runs. None when the class or the window cannot be
// made; the run then goes on without it.
HWND CreateBackdropWindow(HINSTANCE instance);

// The whole picture is drawn when the system asks for the background to be
// erased; painting proper is left to the default handling.
LRESULT CALLBACK BackdropWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Fills the screen-sized area of `dc` with the fill, the product-name pattern,
// the title and the tagline. Every brush and font it makes is deselected and
// deleted before it returns.
void PaintBackdrop(HDC dc);
