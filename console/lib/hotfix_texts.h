// Resource string numbers of the hot-fix page and of the Components page's packages
// (2650-2719 in standins/cgires/catalog/).
#pragma once

namespace console {

enum HotfixText : int {
    kHotfixTitle = 2650,
    kUploadHeading = 2651,
    kFileLabel = 2652,
    kUploadButton = 2653,
    kUploadHint = 2654,
    kAcceptedHeading = 2655,
    kColumnFileName = 2656,
    kColumnHotfixComponent = 2657,
    kColumnPackage = 2658,
    kNamesHint = 2659,
    // Component names, in the order of console::hotfixKinds().
    kKindVirusPattern = 2660,
    kKindSpywarePattern = 2661,
    kKindCleaner = 2662,
    kKindCleanerPattern = 2663,
    kKindCleanupPattern = 2664,
    kKindWhiteList = 2665,
    kKindBlackList = 2666,
    kKindEnginePattern = 2667,
    kKindScanSpywarePattern = 2668,
    // Stages of an upload, as they pass.
    kStagesHeading = 2669,
    kStageReceived = 2670,
    kStageChecking = 2671,
    kStageChecked = 2672,
    kStagePlaced = 2673,
    kStageRebuilding = 2674,
    // Results.
    kRebuilt = 2675,
    kSameVersion = 2676,
    kRebuildFailed = 2677,
    kNoUpload = 2680,
    kForeignName = 2681,
    kNotValid = 2682,
    kOlderThanServer = 2683,
    kNotPlaced = 2684,
    kCheckUnavailable = 2685,
    kShowPackages = 2686,
    kNoManifestHere = 2687,
    // The Components page's packages.
    kPackagesHeading = 2700,
    kColumnManifestVersion = 2701,
    kColumnSize = 2702,
    kColumnPackageModified = 2703,
    kNotInManifest = 2704,
    kPackageMissing = 2705,
    kNoManifest = 2706,
    kManifestLabel = 2707,
    kPackagesHint = 2708,
};

}  // namespace console
