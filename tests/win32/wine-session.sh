# Sourced by the Wine test and scripts/screenshots: a Wine of our own on a display of our own.
# wine_session_start starts Xvfb on a free display and a fresh Wine prefix in a temporary folder
# (no Mono or Gecko prompts, no debug output); wine_session_stop ends both and removes the prefix.
# Exports DISPLAY, WINEPREFIX and WINE (the 64-bit loader).

wine_session_start() {
  WINE=$(command -v wine64 || true)
  [[ -n "$WINE" ]] || WINE=/usr/lib/wine/wine64
  if [[ ! -x "$WINE" ]]; then
    echo "wine64 is not installed (scripts/install-deps installs it)" >&2
    return 1
  fi
  if ! command -v Xvfb >/dev/null; then
    echo "Xvfb is not installed (scripts/install-deps installs it)" >&2
    return 1
  fi
  WINE_SESSION_DIR=$(mktemp -d "${TMPDIR:-/tmp}/teskel-wine.XXXXXX")
  export WINEPREFIX="$WINE_SESSION_DIR/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export WINE
  # Xvfb picks a free display and names it on the descriptor it is given.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WINE_SESSION_DIR/display" \
    >"$WINE_SESSION_DIR/xvfb.log" 2>&1 &
  WINE_SESSION_XVFB=$!
  local deadline=$((SECONDS + 30))
  until [[ -s "$WINE_SESSION_DIR/display" ]]; do
    if ((SECONDS > deadline)) || ! kill -0 "$WINE_SESSION_XVFB" 2>/dev/null; then
      echo "Xvfb did not start: $(tail -n 1 "$WINE_SESSION_DIR/xvfb.log")" >&2
      return 1
    fi
    sleep 0.1
  done
  export DISPLAY=":$(head -n 1 "$WINE_SESSION_DIR/display")"
  # A new prefix is made on first use; wineboot returns once it is ready.
  if ! "$WINE" wineboot -i >"$WINE_SESSION_DIR/wineboot.log" 2>&1; then
    echo "wineboot failed: $(tail -n 1 "$WINE_SESSION_DIR/wineboot.log")" >&2
    return 1
  fi
}

wine_session_stop() {
  if [[ -n "${WINEPREFIX:-}" && -d "$WINEPREFIX" ]]; then
    "${WINE%64}server" -k 2>/dev/null || wineserver -k 2>/dev/null || /usr/lib/wine/wineserver -k 2>/dev/null || true
  fi
  if [[ -n "${WINE_SESSION_XVFB:-}" ]]; then
    kill "$WINE_SESSION_XVFB" 2>/dev/null || true
    wait "$WINE_SESSION_XVFB" 2>/dev/null || true
  fi
  [[ -n "${WINE_SESSION_DIR:-}" ]] && rm -rf "$WINE_SESSION_DIR"
  return 0
}
