# Sourced by the other scripts, from the repository root: selects the Python
# environment that kestrel is built, installed and tested in, and sets $python to
# its interpreter. An active virtual environment ($VIRTUAL_ENV) is used as it is;
# otherwise .venv/ in the repository, created when missing and activated for the
# calling script and its children. Debian's own python3 refuses `pip install`
# outside a virtual environment, so there is always one.
if [[ -z "${VIRTUAL_ENV:-}" ]]; then
  if [[ ! -x .venv/bin/python || ! -x .venv/bin/pip ]]; then
    # A .venv/ made without the venv module's pip (python3-venv missing) is made anew.
    "$(command -v python3.11 || command -v python3)" -m venv --clear .venv
  fi
  export VIRTUAL_ENV="$PWD/.venv"
  export PATH="$VIRTUAL_ENV/bin:$PATH"
fi
python="$VIRTUAL_ENV/bin/python"
if [[ ! -x "$python" ]]; then
  echo "VIRTUAL_ENV is $VIRTUAL_ENV, but $python does not exist" >&2
  exit 1
elif ! "$python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))'; then
  echo "kestrel is built for CPython 3.11, but $python is $("$python" -V 2>&1)" >&2
  exit 1
fi
