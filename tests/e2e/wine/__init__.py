"""Quil.exe under Wine as a user runs it: which Wine, the prefixes, the
display, the window probe and the session that holds them."""
