"""The platform facts that winsim copies, checked against Wine itself."""

import os
import shutil

from wine.session import INSTALLER_FOLDER
from journeys.runner import journey
from journeys.walks import JAPANESE_CODE_PAGE


@journey("platform-facts")
def platform_facts_journey(s, check):
    program = os.path.join(s.wine.build, "platform_facts.exe")
    target = s.unix_path(INSTALLER_FOLDER, create=True)
    shutil.copy2(program, target)
    # Then again in a Japanese locale, for the facts of code page 932.
    for locale in ({}, JAPANESE_CODE_PAGE):
        code, out = s.run(INSTALLER_FOLDER + "\\platform_facts.exe", timeout=300, env=locale)
        facts = [line for line in out.splitlines() if line.startswith(("ok - ", "FAIL - "))]
        check.true(len(facts) > 0, "platform_facts.exe reports its facts")
        for line in facts:
            check.true(line.startswith("ok - "), line.split(" - ", 1)[1])
        check.equal(code, 0, "platform_facts.exe exits with 0")
