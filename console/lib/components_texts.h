// Resource string numbers of the components page (2400-2449 in standins/cgires/catalog/).
#pragma once

namespace console {

enum ComponentsText : int {
    kComponentsTitle = 2400,
    kCleanerHeading = 2401,
    kItemFile = 2402,
    kItemVersion = 2403,
    kItemSpecialBuild = 2404,
    kItemAppended = 2405,
    kItemPublisher = 2406,
    kItemLibrary = 2407,
    kAppendedValid = 2408,
    kAppendedInvalid = 2409,
    kAppendedUnreadable = 2410,
    kItemSigner = 2411,
    kLibraryAccepts = 2412,
    kLibraryRefuses = 2413,
    kCleanerPatternsHeading = 2414,
    kCleanerPattern = 2415,
    kSpywareCleanupPattern = 2416,
    kPatternNotFound = 2417,
    kExecutablesHeading = 2418,
    kColumnExecutable = 2419,
    kNoExecutables = 2420,
    kRootsHeading = 2421,
    kRootsFile = 2422,
    kRootsCount = 2423,
    kRootsUnreadable = 2424,
    kCheckAgain = 2425,
    kNoVersion = 2426,
    kCheckHint = 2427,
    kExecutablesCut = 2428,
    kColumnPattern = 2429,
    // Publisher results, in the order of ExecutablePublisherResult.
    kPublisherPassed = 2430,
};

}  // namespace console
