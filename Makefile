# wavespec: the two Quick start commands (make demo, make test) and friends.
BUILD   ?= build
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE   ?= cmake
DEMO    := out/demo

.PHONY: all prerequisites configure build demo test clean

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

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	@rm -rf $(BUILD) out
