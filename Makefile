# The two commands of the project; each does its own set-up on a fresh machine.
.PHONY: demo test bench dist docs docs-serve mutate mutate-python

demo:
	tools/demo.sh

test:
	tools/run-tests.sh

# Benchmarks (not part of the tests): figures beside their baselines.
bench:
	tools/bench.sh

# sdists and manylinux wheels of every distribution into dist/.
dist:
	tools/dist.sh

# The documentation site into build/docs/html; docs-serve also serves it on
# http://127.0.0.1:8000.
docs:
	tools/docs.sh

docs-serve:
	tools/docs.sh serve

# Measures of the tests (not part of the tests, and slow): seeded faults in the
# C++ sources, run against the core and Python tests on 3.14, and mutmut over
# the Python packages. Each prints the kill rate and every survivor.
mutate:
	tools/mutate.sh $(MUTATE_ARGS)

mutate-python:
	tools/mutate-python.sh
