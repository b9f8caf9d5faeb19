# wavespec: the two Quick start commands (make demo, make test) and friends.
BUILD   ?= build
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE   ?= cmake
DEMO    := out/demo

.PHONY: all prerequisites configure build demo test bench sanitize clang-test fuzz ci format-check clean

all: build

prerequisites:
	@tools/prerequisites.sh base

configure: prerequisites
	@$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@$(CMAKE) --build $(BUILD) -j $(JOBS)

# A whole analysis of the bundled record, answered from data/demo-answers.txt.
demo: build
	@rm -rf $(DEMO) && mkdir -p $(DEMO)
	@echo "== answers given (data/demo-answers.txt):" && sed 's/^/   /' data/demo-answers.txt
	@echo "== dialogue:"
	@cd $(DEMO) && ../../$(BUILD)/src/driver/wavespec < ../../data/demo-answers.txt
	@echo "== spectrum written to $(DEMO)/sf1295-spectrum.csv ($$(wc -l < $(DEMO)/sf1295-spectrum.csv) lines); first lines:"
	@head -4 $(DEMO)/sf1295-spectrum.csv
	@echo "== the same record from the command line, with its metadata sidecar:"
	@$(BUILD)/src/driver/wavespec -m 2 -b 0.5 --metadata -o $(DEMO)/sf1295.csv data/sf1295.txt
	@echo "   wavespec -m 2 -b 0.5 --metadata -o $(DEMO)/sf1295.csv data/sf1295.txt" && sed -n '2,5p' $(DEMO)/sf1295.json
	@$(BUILD)/tools/wavespec-plot $(DEMO)/sf1295.csv $(DEMO)/sf1295.png
	@echo "== plot drawn: $(DEMO)/sf1295.png (title, components and units from $(DEMO)/sf1295.json)"

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Stage micro-benchmarks, whole runs against the numpy/scipy peer, and a batch
# of 200 records against scripting the dialogue.
bench: prerequisites
	@tools/prerequisites.sh bench
	@$(CMAKE) -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DWAVESPEC_BENCH=ON -DWAVESPEC_TESTS=OFF >/dev/null
	@$(CMAKE) --build build-bench -j $(JOBS)
	@build-bench/bench/stage_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	@/usr/bin/python3 bench/whole_run.py build-bench/src/driver/wavespec
	@PYTHONPATH=build-bench/python /usr/bin/python3 bench/batch_run.py build-bench/src/driver/wavespec
	@PYTHONPATH=build-bench/python /usr/bin/python3 bench/konno_ohmachi.py data

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: prerequisites
	@$(CMAKE) -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DWAVESPEC_SANITIZE=ON >/dev/null
	@$(CMAKE) --build build-sanitize -j $(JOBS)
	@cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

# The suite built by clang with the release flags: exactness must not depend
# on the compiler.
clang-test: prerequisites
	@tools/prerequisites.sh ci
	@CXX=clang++ $(CMAKE) -S . -B build-clang -DCMAKE_BUILD_TYPE=Release >/dev/null
	@$(CMAKE) --build build-clang -j $(JOBS)
	@cd build-clang && ctest --output-on-failure -j $(JOBS)

# libFuzzer over the record reader and the converter's readers, from the
# committed seed corpora.
FUZZ_SECONDS ?= 60
MERGE_FUZZ_SECONDS ?= 30
fuzz: prerequisites
	@tools/prerequisites.sh ci
	@CXX=clang++ $(CMAKE) -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWAVESPEC_FUZZ=ON -DWAVESPEC_TESTS=OFF >/dev/null
	@$(CMAKE) --build build-fuzz -j $(JOBS) --target record_reader_fuzz merge_reader_fuzz
	@tools/fuzz.sh record_reader_fuzz fuzz/corpus $(FUZZ_SECONDS) 8192
	@tools/fuzz.sh merge_reader_fuzz fuzz/merge_corpus $(MERGE_FUZZ_SECONDS) 131072

# Everything CI runs.
ci: test sanitize clang-test fuzz

clean:
	@rm -rf $(BUILD) build-sanitize build-clang build-fuzz build-bench out

# The code stays formatted: reformat and fail on any difference.
format-check:
	@clang-format --dry-run --Werror src/*/*.cpp src/*/*.h include/*/*.hpp tests/*/*.cpp tests/*/*.h \
	  python/*.cpp fuzz/*.cpp bench/*.cpp examples/*.cpp
