#!/usr/bin/env bash
# Prints the Windows architecture that the tests can run here under Wine: i686
# (the shipped form) where the kernel runs 32-bit code, else x86_64.
# QV_TEST_ARCH overrides the choice.
if [ -n "${QV_TEST_ARCH:-}" ]; then echo "$QV_TEST_ARCH"
elif /usr/lib/wine/wine --version >/dev/null 2>&1; then echo i686
else echo x86_64
fi
