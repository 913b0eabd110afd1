# The project's entry points, each a script in tools/ that does its own set-up
# on a fresh machine (Debian packages, CPython 3.14 and 3.15, venvs under
# build/). `make help` lists them. Two are for everyone: `make demo` and
# `make test` (what CI runs); the rest are for maintainers.
.PHONY: help demo test format bench dist docs docs-serve fuzz mutate mutate-python
.DEFAULT_GOAL := help

help:  ## this list
	@awk 'BEGIN { FS = ":.*## " } /^[a-z-]+:.*## / { printf "  make %-14s %s\n", $$1, $$2 }' $(MAKEFILE_LIST)

demo:  ## build korvane and the example bundle, then run a machine
	tools/demo.sh

test:  ## every test stage (tools/run-tests.sh STAGE... runs some)
	tools/run-tests.sh

format:  ## lay out the Python and C++ as the lint stage expects, and lint
	tools/format.sh

bench:  ## benchmarks, figures beside their baselines (not tests)
	tools/bench.sh

dist:  ## sdists and manylinux wheels of every distribution into dist/
	tools/dist.sh

docs:  ## the documentation site into build/docs/html
	tools/docs.sh

docs-serve:  ## the site, served on http://127.0.0.1:8000
	tools/docs.sh serve

fuzz:  ## one fuzz target for a while: make fuzz FUZZ_ARGS="fuzz_json 600"
	tools/fuzz.sh $(FUZZ_ARGS)

mutate:  ## seeded faults in the C++ sources against the tests (slow)
	tools/mutate.sh $(MUTATE_ARGS)

mutate-python:  ## mutmut over the Python packages (slow)
	tools/mutate-python.sh
