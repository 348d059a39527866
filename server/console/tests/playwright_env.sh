# Sourced by the browser tests after console_env.sh: Debian's Chromium and npm playwright-core
# (installed into the build tree when missing). Sets: modules, shots.
command -v node >/dev/null || { echo "SKIP: node is not installed (Debian package nodejs)"; exit 77; }
[ -x /usr/bin/chromium ] || { echo "SKIP: /usr/bin/chromium is not installed (Debian package chromium)"; exit 77; }
modules="$KIV_BINARY_DIR/playwright"
if [ ! -d "$modules/node_modules/playwright-core" ]; then
  mkdir -p "$modules"
  [ -f "$modules/package.json" ] || echo '{"name":"kiv-console-test","private":true}' > "$modules/package.json"
  (cd "$modules" && timeout 180 npm install --no-audit --no-fund playwright-core@1 >/dev/null 2>&1) \
    || { echo "SKIP: npm could not install playwright-core"; exit 77; }
fi
shots="$KIV_BINARY_DIR/console-screenshots"
mkdir -p "$shots"
