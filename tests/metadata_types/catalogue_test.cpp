// The catalogue tables row by row: every generic row's index, name, files and category, the fixed
// rows' columns, and the lookups that must lead back from a name to the same type.

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "data/registry.hpp"
#include "metadata_types/metadata_type.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "support/programming_error.hpp"

namespace ambrel::metadata_types {
namespace {

using enum MetadataCategory;

enum FileKind { kDirectory, kObjectChild, kContainer, kFixedContainer };

struct GenericRow {
    std::size_t index;
    std::string_view api_name;
    FileKind files;
    std::string_view directory;
    std::string_view suffix;
    MetadataCategory category;
};

// The generic table as the rest of the system relies on it: indexes are stable identities.
constexpr GenericRow kGenericRows[] = {
    {0, "ActionLauncherItemDef", kDirectory, "ActionLauncherItemDef", "actionLauncherItemDef", UiAndNavigation},
    {1, "ActionLinkGroupTemplate", kDirectory, "actionLinkGroupTemplates", "actionLinkGroupTemplate", UiAndNavigation},
    {2, "ActionPlanTemplate", kDirectory, "actionPlanTemplates", "apt", Automation},
    {3, "AnalyticsDashboard", kDirectory, "analyticsDashboards", "uadash", MarketingAndDataCloud},
    {4, "AnalyticsVisualization", kDirectory, "analyticsVisualizations", "uaviz", MarketingAndDataCloud},
    {5, "AnalyticsWorkspace", kDirectory, "analyticsWorkspaces", "uawork", MarketingAndDataCloud},
    {6, "AnimationRule", kDirectory, "animationRules", "animationRule", UiAndNavigation},
    {7, "ApexTestSuite", kDirectory, "testSuites", "testSuite", Code},
    {8, "ApiNamedQuery", kDirectory, "apiNamedQueries", "apiNamedQuery", Code},
    {9, "AppMenu", kDirectory, "appMenus", "appMenu", UiAndNavigation},
    {10, "ApprovalProcess", kDirectory, "approvalProcesses", "approvalProcess", Automation},
    {11, "AssignmentRule", kContainer, "assignmentRules", "assignmentRules", Automation},
    {12, "Audience", kDirectory, "audience", "audience", ExperienceCloud},
    {13, "AutoResponseRule", kContainer, "autoResponseRules", "autoResponseRules", Automation},
    {14, "BatchProcessJobDefinition", kDirectory, "batchProcessJobDefinitions", "batchProcessJobDefinition", Code},
    {15, "BrandingSet", kDirectory, "brandingSets", "brandingSet", UiAndNavigation},
    {16, "BriefcaseDefinition", kDirectory, "briefcaseDefinitions", "briefcaseDefinition", ExperienceCloud},
    {17, "BusinessProcess", kObjectChild, "businessProcesses", "businessProcess", ObjectsAndFields},
    {18, "CMSConnectSource", kDirectory, "cmsConnectSource", "cmsConnectSource", ExperienceCloud},
    {19, "CallCenter", kDirectory, "callCenters", "callCenter", ServiceCloud},
    {20, "CallCenterRoutingMap", kDirectory, "callCenterRoutingMaps", "callCenterRoutingMap", ServiceCloud},
    {21, "CallCoachingMediaProvider", kDirectory, "callCoachingMediaProviders", "callCoachingMediaProvider", ServiceCloud},
    {22, "CampaignInfluenceModel", kDirectory, "campaignInfluenceModels", "campaignInfluenceModel", SalesCloud},
    {23, "CanvasMetadata", kDirectory, "Canvases", "Canvas", Code},
    {24, "CaseSubjectParticle", kDirectory, "CaseSubjectParticles", "CaseSubjectParticle", ServiceCloud},
    {25, "ChannelLayout", kDirectory, "channelLayouts", "channelLayout", ServiceCloud},
    {26, "ChannelObjectLinkingRule", kDirectory, "ChannelObjectLinkingRules", "ChannelObjectLinkingRule", Automation},
    {27, "ChatterExtension", kDirectory, "ChatterExtensions", "ChatterExtension", ExperienceCloud},
    {28, "ChoiceList", kDirectory, "ChoiceList", "ChoiceList", Code},
    {29, "CommunityTemplateDefinition", kDirectory, "communityTemplateDefinitions", "communityTemplateDefinition", ExperienceCloud},
    {30, "CommunityThemeDefinition", kDirectory, "communityThemeDefinitions", "communityThemeDefinition", ExperienceCloud},
    {31, "CompactLayout", kObjectChild, "compactLayouts", "compactLayout", ObjectsAndFields},
    {32, "ContextDefinition", kDirectory, "contextDefinitions", "contextDefinition", RevenueCloud},
    {33, "ConvIntelligenceSignalRule", kDirectory, "ConvIntelligenceSignalRule", "ConvIntelligenceSignalRule", ServiceCloud},
    {34, "ConversationMessageDefinition", kDirectory, "conversationMessageDefinitions", "conversationMessageDefinition", ServiceCloud},
    {35, "CorsWhitelistOrigin", kDirectory, "corsWhitelistOrigins", "corsWhitelistOrigin", IntegrationAndAuth},
    {36, "CspTrustedSite", kDirectory, "cspTrustedSites", "cspTrustedSite", IntegrationAndAuth},
    {37, "CustomApplication", kDirectory, "applications", "app", UiAndNavigation},
    {38, "CustomApplicationComponent", kDirectory, "customApplicationComponents", "customApplicationComponent", UiAndNavigation},
    {39, "CustomFeedFilter", kDirectory, "feedFilters", "feedFilter", UiAndNavigation},
    {40, "CustomHelpMenuSection", kDirectory, "customHelpMenuSections", "customHelpMenuSection", UiAndNavigation},
    {41, "CustomLabel", kFixedContainer, "labels", "labels", Localization},
    {42, "CustomMetadata", kDirectory, "customMetadata", "md", ObjectsAndFields},
    {43, "CustomNotificationType", kDirectory, "notificationtypes", "notiftype", ObjectsAndFields},
    {44, "CustomPermission", kDirectory, "customPermissions", "customPermission", SecurityAndSharing},
    {45, "CustomSite", kDirectory, "sites", "site", ServiceCloud},
    {46, "CustomTab", kDirectory, "tabs", "tab", UiAndNavigation},
    {47, "DataCategoryGroup", kDirectory, "datacategorygroups", "datacategorygroup", ServiceCloud},
    {48, "DecisionMatrixDefinition", kDirectory, "decisionMatrixDefinition", "decisionMatrixDefinition", RevenueCloud},
    {49, "DecisionMatrixDefinitionVersion", kDirectory, "decisionMatrixVersion", "decisionMatrixVersion", RevenueCloud},
    {50, "DecisionTable", kDirectory, "decisionTables", "decisionTable", RevenueCloud},
    {51, "DecisionTableDatasetLink", kDirectory, "decisionTableDatasetLinks", "decisionTableDatasetLink", RevenueCloud},
    {52, "DelegateGroup", kDirectory, "delegateGroups", "delegateGroup", SecurityAndSharing},
    {53, "DuplicateRule", kDirectory, "duplicateRules", "duplicateRule", ObjectsAndFields},
    {54, "EmailServicesFunction", kDirectory, "emailservices", "xml", IntegrationAndAuth},
    {55, "EmbeddedServiceBranding", kDirectory, "EmbeddedServiceBranding", "EmbeddedServiceBranding", ServiceCloud},
    {56, "EmbeddedServiceConfig", kDirectory, "EmbeddedServiceConfig", "EmbeddedServiceConfig", ServiceCloud},
    {57, "EmbeddedServiceFlowConfig", kDirectory, "EmbeddedServiceFlowConfig", "EmbeddedServiceFlowConfig", ServiceCloud},
    {58, "EmbeddedServiceMenuSettings", kDirectory, "EmbeddedServiceMenuSettings", "EmbeddedServiceMenuSettings", ServiceCloud},
    {59, "EntitlementProcess", kDirectory, "entitlementProcesses", "entitlementProcess", ServiceCloud},
    {60, "EntitlementTemplate", kDirectory, "entitlementTemplates", "entitlementTemplate", ServiceCloud},
    {61, "EscalationRule", kContainer, "escalationRules", "escalationRules", Automation},
    {62, "EventRelayConfig", kDirectory, "eventRelays", "eventRelay", IntegrationAndAuth},
    {63, "ExpressionSetDefinition", kDirectory, "expressionSetDefinition", "expressionSetDefinition", RevenueCloud},
    {64, "ExpressionSetDefinitionVersion", kDirectory, "expressionSetVersion", "expressionSetVersion", RevenueCloud},
    {65, "ExpressionSetMessageToken", kDirectory, "expressionSetMessageToken", "expressionSetMessageToken", RevenueCloud},
    {66, "ExpressionSetObjectAlias", kDirectory, "expressionSetObjectAlias", "expressionSetObjectAlias", RevenueCloud},
    {67, "ExternalDataConnector", kDirectory, "externalDataConnectors", "externalDataConnector", MarketingAndDataCloud},
    {68, "ExternalServiceRegistration", kDirectory, "externalServiceRegistrations", "externalServiceRegistration", IntegrationAndAuth},
    {69, "FieldRestrictionRule", kDirectory, "fieldRestrictionRules", "rule", SecurityAndSharing},
    {70, "FieldSet", kObjectChild, "fieldSets", "fieldSet", ObjectsAndFields},
    {71, "FlexiPage", kDirectory, "flexipages", "flexipage", UiAndNavigation},
    {72, "FlowCategory", kDirectory, "flowCategories", "flowCategory", Automation},
    {73, "FlowTest", kDirectory, "flowtests", "flowtest", Automation},
    {74, "FlowValueMap", kDirectory, "flowValueMaps", "flowvaluemap", Automation},
    {75, "ForecastingFilter", kDirectory, "forecastingFilters", "forecastingFilter", SalesCloud},
    {76, "ForecastingFilterCondition", kDirectory, "forecastingFilterConditions", "forecastingFilterCondition", SalesCloud},
    {77, "ForecastingGroup", kDirectory, "forecastingGroups", "forecastingGroup", SalesCloud},
    {78, "ForecastingSourceDefinition", kDirectory, "forecastingSourceDefinitions", "forecastingSourceDefinition", SalesCloud},
    {79, "ForecastingType", kDirectory, "forecastingTypes", "forecastingType", SalesCloud},
    {80, "ForecastingTypeSource", kDirectory, "forecastingTypeSources", "forecastingTypeSource", SalesCloud},
    {81, "GlobalValueSet", kDirectory, "globalValueSets", "globalValueSet", ObjectsAndFields},
    {82, "GlobalValueSetTranslation", kDirectory, "globalValueSetTranslations", "globalValueSetTranslation", Localization},
    {83, "IPAddressRange", kDirectory, "IPAddressRanges", "IPAddressRange", SecurityAndSharing},
    {84, "Index", kObjectChild, "indexes", "index", ObjectsAndFields},
    {85, "IntegrationProviderDef", kDirectory, "integrationProviderDefinitions", "integrationProviderDefinition", IntegrationAndAuth},
    {86, "InvocableActionExtension", kDirectory, "invocableactionextensions", "invocableactionextension", Automation},
    {87, "KeywordList", kDirectory, "moderation", "keywords", ExperienceCloud},
    {88, "LeadConvertSettings", kDirectory, "LeadConvertSettings", "LeadConvertSetting", UiAndNavigation},
    {89, "Letterhead", kDirectory, "letterhead", "letter", EmailAndTemplates},
    {90, "LightningExperienceTheme", kDirectory, "lightningExperienceThemes", "lightningExperienceTheme", UiAndNavigation},
    {91, "LightningMessageChannel", kDirectory, "messageChannels", "messageChannel", Code},
    {92, "LightningOnboardingConfig", kDirectory, "lightningOnboardingConfigs", "lightningOnboardingConfig", UiAndNavigation},
    {93, "ListView", kObjectChild, "listViews", "listView", ObjectsAndFields},
    {94, "LiveChatSensitiveDataRule", kDirectory, "liveChatSensitiveDataRule", "liveChatSensitiveDataRule", ServiceCloud},
    {95, "ManagedContentType", kDirectory, "managedContentTypes", "managedContentType", ExperienceCloud},
    {96, "ManagedEventSubscription", kDirectory, "managedEventSubscriptions", "managedEventSubscription", Automation},
    {97, "McpServerDefinition", kDirectory, "mcpServerDefinitions", "mcpServerDefinition", IntegrationAndAuth},
    {98, "MessagingChannel", kDirectory, "messagingChannels", "messagingChannel", ServiceCloud},
    {99, "MilestoneType", kDirectory, "milestoneTypes", "milestoneType", ServiceCloud},
    {100, "MobSecurityCertPinConfig", kDirectory, "mobSecurityCertPinConfigs", "mobSecurityCertPinConfig", Mobile},
    {101, "MobileSecurityAssignment", kDirectory, "mobileSecurityAssignments", "mobileSecurityAssignment", Mobile},
    {102, "MobileSecurityPolicy", kDirectory, "mobileSecurityPolicies", "mobileSecurityPolicy", Mobile},
    {103, "ModerationRule", kDirectory, "moderation", "rule", ExperienceCloud},
    {104, "NavigationMenu", kDirectory, "navigationMenus", "navigationMenu", ExperienceCloud},
    {105, "NotificationTypeConfig", kDirectory, "notificationTypeConfig", "config", Automation},
    {106, "OauthCustomScope", kDirectory, "oauthcustomscopes", "oauthcustomscope", IntegrationAndAuth},
    {107, "OauthTokenExchangeHandler", kDirectory, "oauthtokenexchangehandlers", "oauthtokenexchangehandler", IntegrationAndAuth},
    {108, "OmniSupervisorConfig", kDirectory, "omniSupervisorConfigs", "omniSupervisorConfig", ServiceCloud},
    {109, "PathAssistant", kDirectory, "pathAssistants", "pathAssistant", UiAndNavigation},
    {110, "PermissionSet", kDirectory, "permissionsets", "permissionset", SecurityAndSharing},
    {111, "PermissionSetGroup", kDirectory, "permissionsetgroups", "permissionsetgroup", SecurityAndSharing},
    {112, "PipelineInspMetricConfig", kDirectory, "pipelineInspMetricConfigs", "pipelineInspMetricConfig", Analytics},
    {113, "PlatformCachePartition", kDirectory, "cachePartitions", "cachePartition", Code},
    {114, "PlatformEventChannel", kDirectory, "platformEventChannels", "platformEventChannel", IntegrationAndAuth},
    {115, "PlatformEventChannelMember", kDirectory, "platformEventChannelMembers", "platformEventChannelMember", IntegrationAndAuth},
    {116, "PlatformEventSubscriberConfig", kDirectory, "PlatformEventSubscriberConfigs", "platformEventSubscriberConfig", IntegrationAndAuth},
    {117, "PresenceDeclineReason", kDirectory, "presenceDeclineReasons", "presenceDeclineReason", ServiceCloud},
    {118, "PresenceUserConfig", kDirectory, "presenceUserConfigs", "presenceUserConfig", ServiceCloud},
    {119, "PricingActionParameters", kDirectory, "pricingActionParameters", "pricingActionParameters", RevenueCloud},
    {120, "PricingRecipe", kDirectory, "pricingRecipe", "pricingRecipe", RevenueCloud},
    {121, "ProcedurePlanDefinition", kDirectory, "procedurePlanDefinitions", "procedurePlanDefinition", RevenueCloud},
    {122, "ProductAttributeSet", kDirectory, "productAttributeSets", "productAttributeSet", RevenueCloud},
    {123, "Profile", kDirectory, "profiles", "profile", SecurityAndSharing},
    {124, "Prompt", kDirectory, "prompts", "prompt", UiAndNavigation},
    {125, "QueueRoutingConfig", kDirectory, "queueRoutingConfigs", "queueRoutingConfig", ServiceCloud},
    {126, "QuickAction", kDirectory, "quickActions", "quickAction", UiAndNavigation},
    {127, "RecordActionDeployment", kDirectory, "recordActionDeployments", "deployment", Automation},
    {128, "RecordType", kObjectChild, "recordTypes", "recordType", ObjectsAndFields},
    {129, "RedirectWhitelistUrl", kDirectory, "redirectWhitelistUrls", "redirectWhitelistUrl", IntegrationAndAuth},
    {130, "RemoteSiteSetting", kDirectory, "remoteSiteSettings", "remoteSite", IntegrationAndAuth},
    {131, "ReportType", kDirectory, "reportTypes", "reportType", Analytics},
    {132, "RestrictionRule", kDirectory, "restrictionRules", "rule", SecurityAndSharing},
    {133, "SearchCustomization", kDirectory, "searchCustomizations", "searchCustomization", UiAndNavigation},
    {134, "SearchOrgWideObjectConfig", kDirectory, "searchOrgWideConfiguration", "searchOrgWideObjectConfig", UiAndNavigation},
    {135, "ServiceChannel", kDirectory, "serviceChannels", "serviceChannel", ServiceCloud},
    {136, "ServicePresenceStatus", kDirectory, "servicePresenceStatuses", "servicePresenceStatus", ServiceCloud},
    {137, "SharingCriteriaRule", kContainer, "sharingRules", "sharingRules", SecurityAndSharing},
    {138, "SharingGuestRule", kContainer, "sharingRules", "sharingRules", SecurityAndSharing},
    {139, "SharingOwnerRule", kContainer, "sharingRules", "sharingRules", SecurityAndSharing},
    {140, "SharingReason", kObjectChild, "sharingReasons", "sharingReason", ObjectsAndFields},
    {141, "SharingSet", kDirectory, "sharingSets", "sharingSet", SecurityAndSharing},
    {142, "Skill", kDirectory, "skills", "skill", ServiceCloud},
    {143, "SkillType", kDirectory, "skilltypes", "skilltype", ServiceCloud},
    {144, "SynonymDictionary", kDirectory, "synonymDictionaries", "synonymDictionary", UiAndNavigation},
    {145, "TopicsForObjects", kDirectory, "topicsForObjects", "topicsForObjects", ObjectsAndFields},
    {146, "UiFormatSpecificationSet", kDirectory, "uiFormatSpecificationSets", "uiFormatSpecificationSet", UiAndNavigation},
    {147, "UserCriteria", kDirectory, "userCriteria", "userCriteria", ExperienceCloud},
    {148, "UserProvisioningConfig", kDirectory, "userProvisioningConfigs", "userProvisioningConfig", SecurityAndSharing},
    {149, "ValidationRule", kObjectChild, "validationRules", "validationRule", ObjectsAndFields},
    {150, "WebLink", kObjectChild, "webLinks", "webLink", ObjectsAndFields},
};

static_assert(std::size(kGenericRows) == kGenericTypeCount);

// The document path a row's files column implies for a sample component.
std::string expected_sample_path(const GenericRow& row) {
    const std::string dir{row.directory};
    const std::string suffix{row.suffix};
    switch (row.files) {
        case kDirectory:
            return dir + "/Sample." + suffix + "-meta.xml";
        case kObjectChild:
            return "objects/Account/" + dir + "/Sample." + suffix + "-meta.xml";
        case kContainer:
            return dir + "/Account." + suffix + "-meta.xml";
        case kFixedContainer:
            return dir + "/CustomLabels." + suffix + "-meta.xml";
    }
    return {};
}

// The document path of a format that has one (every format but Bundle).
std::optional<std::string> document_path(const ContentFormat& format, std::string_view name) {
    const auto path = format.decomposed_path(name);
    EXPECT_TRUE(path.has_value()) << name;
    return path.value_or(std::nullopt);
}

std::string sample_name(const GenericRow& row) {
    return row.files == kObjectChild || row.files == kContainer ? "Account.Sample" : "Sample";
}

TEST(GenericTable, EveryRowRoundTripsThroughItsNamesAndFiles) {
    for (const auto& row : kGenericRows) {
        SCOPED_TRACE(row.api_name);
        const auto type = MetadataType::Generic(row.index);
        const auto& d = type.descriptor();
        EXPECT_EQ(d.api_name, row.api_name);
        EXPECT_EQ(type.wire_id(), row.api_name);
        EXPECT_EQ(MetadataType::from_wire_id(row.api_name), type);
        EXPECT_EQ(metadata_type_by_wire_id(row.api_name), type);
        EXPECT_EQ(MetadataType::from_api_name(row.api_name), type);
        EXPECT_EQ(generic_type_by_api_name(row.api_name), type);
        EXPECT_EQ(type.category(), row.category);
        EXPECT_EQ(document_path(d.content_format, sample_name(row)),
                  std::optional<std::string>(expected_sample_path(row)));
    }
}

TEST(GenericTable, RowsShareTheirColumnDefaults) {
    for (const auto& row : kGenericRows) {
        SCOPED_TRACE(row.api_name);
        const auto& d = MetadataType::Generic(row.index).descriptor();
        EXPECT_TRUE(std::holds_alternative<NameFilter::None>(d.name_filter.value));
        EXPECT_EQ(d.listing_strategy, ListingStrategy{ListingStrategy::MetadataApi{row.api_name}});
        EXPECT_EQ(d.listing_type_name, std::optional<std::string_view>(row.api_name));
        EXPECT_TRUE(d.attributes.empty());
        EXPECT_FALSE(d.parent_type.has_value());
        EXPECT_TRUE(d.compares_document);
        EXPECT_TRUE(d.deploys_through_metadata_api);
        EXPECT_FALSE(d.opens_test_screen);
        EXPECT_FALSE(d.apex_code);
        EXPECT_EQ(d.container_scope, ContainerScope::WholeName);
        EXPECT_EQ(d.selectable, row.api_name != "ExpressionSetDefinition");
        EXPECT_EQ(d.group_label.has_value(), row.api_name == "ExpressionSetDefinitionVersion");
        EXPECT_NE(d.category, Legacy);
        if (const auto* xml = std::get_if<ContentFormat::DecomposedXml>(&d.content_format.value)) {
            EXPECT_EQ(xml->root_element, row.api_name);
        }
    }
}

TEST(GenericTable, ContainerRowsNameTheirContainerDocument) {
    struct Expected {
        std::string_view api_name;
        std::optional<std::string_view> fixed_container;
        std::string_view container_type;
        std::string_view child_element;
    };
    const Expected cases[] = {
        {"AssignmentRule", std::nullopt, "AssignmentRules", "assignmentRule"},
        {"AutoResponseRule", std::nullopt, "AutoResponseRules", "autoResponseRule"},
        {"CustomLabel", "CustomLabels", "CustomLabels", "labels"},
        {"EscalationRule", std::nullopt, "EscalationRules", "escalationRule"},
        {"SharingCriteriaRule", std::nullopt, "SharingRules", "sharingCriteriaRules"},
        {"SharingGuestRule", std::nullopt, "SharingRules", "sharingGuestRules"},
        {"SharingOwnerRule", std::nullopt, "SharingRules", "sharingOwnerRules"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.api_name);
        const auto type = generic_type_by_api_name(c.api_name);
        ASSERT_TRUE(type.has_value());
        const auto* f = std::get_if<ContentFormat::ContainerDocument>(&type->descriptor().content_format.value);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->container.fixed_container, c.fixed_container);
        EXPECT_EQ(f->container_type, c.container_type);
        EXPECT_EQ(f->child_element, c.child_element);
    }
}

TEST(GenericTable, DirectoryAndSuffixLeadBackToOneTypeExceptSharedSharingRules) {
    std::map<std::pair<std::string_view, std::string_view>, std::set<std::string_view>> owners;
    auto files_of = [](const ContentFormat& format) -> std::pair<std::string_view, std::string_view> {
        if (const auto* xml = std::get_if<ContentFormat::DecomposedXml>(&format.value)) {
            if (const auto* t = std::get_if<PathTemplate::DirectorySuffix>(&xml->path_template.value)) {
                return {t->directory, t->suffix};
            }
            if (const auto* t = std::get_if<PathTemplate::ObjectChild>(&xml->path_template.value)) {
                return {t->directory, t->suffix};
            }
        }
        if (const auto* c = std::get_if<ContentFormat::ContainerDocument>(&format.value)) {
            return {c->container.directory, c->container.suffix};
        }
        return {};
    };
    for (const auto type : all_metadata_types()) {
        const auto files = files_of(type.descriptor().content_format);
        if (!files.first.empty()) owners[files].insert(type.descriptor().api_name);
    }
    for (const auto& [files, names] : owners) {
        if (files.first == "sharingRules") {
            EXPECT_EQ(names, (std::set<std::string_view>{"SharingCriteriaRule", "SharingGuestRule", "SharingOwnerRule"}));
        } else {
            EXPECT_EQ(names.size(), 1U) << files.first << " " << files.second;
        }
    }
}

// The label rule: a word starts before an upper-case letter that follows a lower-case letter or a
// digit, and before the last upper-case letter of a run when a lower-case letter follows it.
std::string words_of(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = name[i];
        if (i > 0 && std::isupper(c)) {
            const unsigned char prev = name[i - 1];
            const bool next_lower = i + 1 < name.size() && std::islower(static_cast<unsigned char>(name[i + 1]));
            if (std::islower(prev) || std::isdigit(prev) || (std::isupper(prev) && next_lower)) out += ' ';
        }
        out += static_cast<char>(c);
    }
    return out;
}

std::string plural_of(const std::string& singular) {
    const auto ends = [&](std::string_view s) { return singular.ends_with(s); };
    if (ends("s") || ends("x") || ends("ch") || ends("sh")) return singular + "es";
    if (singular.size() > 1 && singular.back() == 'y' &&
        std::string_view("aeiouAEIOU").find(singular[singular.size() - 2]) == std::string_view::npos) {
        return singular.substr(0, singular.size() - 1) + "ies";
    }
    return singular + "s";
}

TEST(GenericTable, LabelsFollowTheWordRuleOrTheirListedException) {
    const std::map<std::string_view, std::pair<std::string_view, std::string_view>> exceptions{
        {"ApiNamedQuery", {"API Named Query", "API Named Queries"}},
        {"CanvasMetadata", {"Canvas Metadata", "Canvas Metadata"}},
        {"CorsWhitelistOrigin", {"CORS Whitelist Origin", "CORS Whitelist Origins"}},
        {"CspTrustedSite", {"CSP Trusted Site", "CSP Trusted Sites"}},
        {"CustomMetadata", {"Custom Metadata Record", "Custom Metadata Records"}},
        {"EmbeddedServiceMenuSettings", {"Embedded Service Menu Settings", "Embedded Service Menu Settings"}},
        {"LeadConvertSettings", {"Lead Convert Settings", "Lead Convert Settings"}},
        {"McpServerDefinition", {"MCP Server Definition", "MCP Server Definitions"}},
        {"MobSecurityCertPinConfig", {"Mobile Security Cert Pin Config", "Mobile Security Cert Pin Configs"}},
        {"OauthCustomScope", {"OAuth Custom Scope", "OAuth Custom Scopes"}},
        {"OauthTokenExchangeHandler", {"OAuth Token Exchange Handler", "OAuth Token Exchange Handlers"}},
        {"PricingActionParameters", {"Pricing Action Parameters", "Pricing Action Parameters"}},
        {"TopicsForObjects", {"Topics For Objects", "Topics For Objects"}},
        {"UiFormatSpecificationSet", {"UI Format Specification Set", "UI Format Specification Sets"}},
        {"UserCriteria", {"User Criteria", "User Criteria"}},
    };
    for (const auto& row : kGenericRows) {
        SCOPED_TRACE(row.api_name);
        const auto& d = MetadataType::Generic(row.index).descriptor();
        if (const auto e = exceptions.find(row.api_name); e != exceptions.end()) {
            EXPECT_EQ(d.singular_label, e->second.first);
            EXPECT_EQ(d.plural_label, e->second.second);
        } else {
            const auto singular = words_of(row.api_name);
            EXPECT_EQ(d.singular_label, singular);
            EXPECT_EQ(d.plural_label, plural_of(singular));
        }
    }
    EXPECT_EQ(generic_type_by_api_name("IPAddressRange")->descriptor().singular_label, "IP Address Range");
    EXPECT_EQ(generic_type_by_api_name("CMSConnectSource")->descriptor().plural_label, "CMS Connect Sources");
    EXPECT_EQ(generic_type_by_api_name("MobileSecurityPolicy")->descriptor().plural_label, "Mobile Security Policies");
    EXPECT_EQ(generic_type_by_api_name("Index")->descriptor().plural_label, "Indexes");
}

TEST(GenericTable, LookupByApiNameIsExactAndByteOrdered) {
    EXPECT_EQ(generic_type_by_api_name("ActionLauncherItemDef"), MetadataType::Generic(0));
    EXPECT_EQ(generic_type_by_api_name("WebLink"), MetadataType::Generic(150));
    EXPECT_EQ(generic_type_by_api_name("CMSConnectSource"), MetadataType::Generic(18));
    EXPECT_EQ(generic_type_by_api_name("CallCenter"), MetadataType::Generic(19));
    EXPECT_EQ(generic_type_by_api_name("IPAddressRange"), MetadataType::Generic(83));
    EXPECT_EQ(generic_type_by_api_name("Index"), MetadataType::Generic(84));
    for (const std::string_view miss : {"", "Aaa", "CallCentre", "WebLinks", "Zzz", "weblink", "CustomTab ",
                                        "CustomField", "ApexClass"}) {
        EXPECT_EQ(generic_type_by_api_name(miss), std::nullopt) << miss;
    }
}

struct FixedRow {
    MetadataType type;
    std::string_view wire_id;
    std::string_view api_name;
    std::string_view plural;
    std::string_view singular;
    std::string_view selection_label;
    std::size_t attribute_count;
    bool selectable;
    bool opens_test_screen;
    bool apex_code;
    bool compares_document;
    bool deploys_through_metadata_api;
    ContainerScope scope;
    MetadataCategory category;
};

const FixedRow kFixedRows[] = {
    {MetadataType::CustomField, "CustomField", "CustomField", "Custom Fields", "Custom Field",
     "Objects & Custom Fields", 8, true, false, false, true, true, ContainerScope::ObjectPart, Core},
    {MetadataType::CustomObject, "CustomObject", "CustomObject", "Custom Objects", "Custom Object", "Custom Objects",
     20, false, false, false, true, true, ContainerScope::WholeName, Core},
    {MetadataType::CustomMetadataType, "CustomMetadataType", "CustomObject", "Custom Metadata Types",
     "Custom Metadata Type", "Custom Metadata Types", 4, true, false, false, true, true, ContainerScope::WholeName,
     Core},
    {MetadataType::PlatformEvent, "PlatformEvent", "CustomObject", "Platform Events", "Platform Event",
     "Platform Events", 6, true, false, false, true, true, ContainerScope::WholeName, Core},
    {MetadataType::ApexClass, "ApexClass", "ApexClass", "Apex Classes", "Apex Class", "Apex Classes", 2, true, true,
     true, false, true, ContainerScope::WholeName, Core},
    {MetadataType::ApexTrigger, "ApexTrigger", "ApexTrigger", "Apex Triggers", "Apex Trigger", "Apex Triggers", 2,
     true, true, true, false, true, ContainerScope::WholeName, Core},
    {MetadataType::LightningComponentBundle, "LightningComponentBundle", "LightningComponentBundle",
     "Lightning Web Components", "Lightning Web Component", "Lightning Web Components", 0, true, false, false, false,
     true, ContainerScope::WholeName, Core},
    {MetadataType::AuraDefinitionBundle, "AuraDefinitionBundle", "AuraDefinitionBundle", "Aura Components",
     "Aura Component", "Aura Components", 0, true, false, false, false, true, ContainerScope::WholeName, Core},
    {MetadataType::ApexPage, "ApexPage", "ApexPage", "Visualforce Pages", "Visualforce Page", "Visualforce Pages", 2,
     true, false, false, false, true, ContainerScope::WholeName, Core},
    {MetadataType::Layout, "Layout", "Layout", "Page Layouts", "Page Layout", "Page Layouts", 0, true, false, false,
     true, true, ContainerScope::WholeName, Core},
    {MetadataType::Flow, "Flow", "Flow", "Flows", "Flow", "Flows", 4, true, true, false, true, true,
     ContainerScope::WholeName, Core},
    {MetadataType::ProductBundle, "ProductBundle", "ProductBundle", "Product Bundles", "Product Bundle",
     "Product Bundles", 0, true, false, false, true, false, ContainerScope::WholeName, RevenueCloud},
    {MetadataType::ConstraintModel, "ConstraintModel", "ConstraintModel", "Constraint Models", "Constraint Model",
     "Constraint Models", 0, true, false, false, true, false, ContainerScope::WholeName, RevenueCloud},
};

TEST(FixedTable, EveryRowHasItsColumns) {
    ASSERT_EQ(std::size(kFixedRows), 13U);
    for (std::size_t i = 0; i < std::size(kFixedRows); ++i) {
        const auto& row = kFixedRows[i];
        SCOPED_TRACE(row.wire_id);
        EXPECT_EQ(static_cast<std::size_t>(row.type.kind()), i);
        EXPECT_EQ(all_metadata_types()[i], row.type);
        const auto& d = row.type.descriptor();
        EXPECT_EQ(row.type.wire_id(), row.wire_id);
        EXPECT_EQ(MetadataType::from_wire_id(row.wire_id), row.type);
        EXPECT_EQ(d.api_name, row.api_name);
        EXPECT_EQ(d.plural_label, row.plural);
        EXPECT_EQ(d.singular_label, row.singular);
        EXPECT_EQ(row.type.selection_label(), row.selection_label);
        EXPECT_EQ(d.attributes.size(), row.attribute_count);
        EXPECT_EQ(d.selectable, row.selectable);
        EXPECT_EQ(row.type.is_selectable(), row.selectable);
        EXPECT_EQ(d.opens_test_screen, row.opens_test_screen);
        EXPECT_EQ(row.type.opens_test_screen(), row.opens_test_screen);
        EXPECT_EQ(d.apex_code, row.apex_code);
        EXPECT_EQ(d.compares_document, row.compares_document);
        EXPECT_EQ(d.deploys_through_metadata_api, row.deploys_through_metadata_api);
        EXPECT_EQ(d.container_scope, row.scope);
        EXPECT_EQ(row.type.category(), row.category);
        EXPECT_EQ(d.parent_type.has_value(), row.type == MetadataType::CustomField);
        EXPECT_EQ(d.listing_type_name.has_value(),
                  std::holds_alternative<ListingStrategy::MetadataApi>(d.listing_strategy.value));
    }
    EXPECT_EQ(MetadataType::CustomField.descriptor().parent_type, std::optional<std::string_view>("CustomObject"));
}

TEST(FixedTable, ListingStrategiesKeepMetadataApiTypesApart) {
    const ListingStrategy objects{ListingStrategy::Objects{}};
    EXPECT_EQ(MetadataType::CustomField.descriptor().listing_strategy, objects);
    EXPECT_EQ(MetadataType::PlatformEvent.descriptor().listing_strategy, objects);
    EXPECT_EQ(MetadataType::ApexClass.descriptor().listing_strategy,
              ListingStrategy{ListingStrategy::MetadataApi{"ApexClass"}});
    EXPECT_EQ(MetadataType::ProductBundle.descriptor().listing_strategy,
              ListingStrategy{ListingStrategy::RevenueCloud{0}});
    EXPECT_EQ(MetadataType::ConstraintModel.descriptor().listing_strategy,
              ListingStrategy{ListingStrategy::RevenueCloud{1}});

    // Ordered as a cache key: strategy first, then type name or record kind.
    std::set<ListingStrategy> keys;
    for (const auto type : all_metadata_types()) keys.insert(type.descriptor().listing_strategy);
    EXPECT_EQ(keys.size(), 1U + (all_metadata_types().size() - 6) + 2);
    EXPECT_EQ(*keys.begin(), objects);
    EXPECT_EQ(*keys.rbegin(), ListingStrategy{ListingStrategy::RevenueCloud{1}});
    EXPECT_LT(ListingStrategy{ListingStrategy::MetadataApi{"ApexClass"}},
              ListingStrategy{ListingStrategy::MetadataApi{"ApexPage"}});
    EXPECT_LT(ListingStrategy{ListingStrategy::MetadataApi{"Zzz"}}, ListingStrategy{ListingStrategy::RevenueCloud{0}});
}

TEST(FixedTable, AttributeListsInComparisonOrder) {
    const auto elements = [](MetadataType type) {
        std::vector<std::string> out;
        for (const auto& spec : type.descriptor().attributes) {
            out.push_back(std::string(spec.element) + (spec.numeric ? "#" : "") + "=" + std::string(spec.label));
        }
        return out;
    };
    EXPECT_EQ(elements(MetadataType::CustomField),
              (std::vector<std::string>{"type=Type", "formula=Formula", "defaultValue=Default Value",
                                        "referenceTo=Reference To", "length#=Length", "precision#=Precision",
                                        "scale#=Scale", "label=Label"}));
    EXPECT_EQ(elements(MetadataType::CustomObject),
              (std::vector<std::string>{
                  "label=Label", "pluralLabel=Plural Label", "description=Description",
                  "sharingModel=Sharing Model", "deploymentStatus=Deployment Status", "enableHistory=Enable History",
                  "enableActivities=Enable Activities", "enableReports=Enable Reports", "enableFeeds=Enable Feeds",
                  "enableSearch=Enable Search", "enableBulkApi=Enable Bulk API", "enableSharing=Enable Sharing",
                  "enableStreamingApi=Enable Streaming API", "enableLicensing=Enable Licensing",
                  "allowInChatterGroups=Allow In Chatter Groups",
                  "recordTypeTrackFeedHistory=Record Type Track Feed History",
                  "recordTypeTrackHistory=Record Type Track History", "startsWith=Starts With",
                  "visibility=Visibility", "customSettingsType=Custom Settings Type"}));
    EXPECT_EQ(elements(MetadataType::CustomMetadataType),
              (std::vector<std::string>{"label=Label", "pluralLabel=Plural Label", "description=Description",
                                        "visibility=Visibility"}));
    EXPECT_EQ(elements(MetadataType::PlatformEvent),
              (std::vector<std::string>{"label=Label", "pluralLabel=Plural Label", "description=Description",
                                        "deploymentStatus=Deployment Status", "eventType=Event Type",
                                        "publishBehavior=Publish Behavior"}));
    EXPECT_EQ(elements(MetadataType::ApexClass), (std::vector<std::string>{"apiVersion=API Version", "status=Status"}));
    EXPECT_EQ(elements(MetadataType::ApexTrigger), elements(MetadataType::ApexClass));
    EXPECT_EQ(elements(MetadataType::ApexPage), (std::vector<std::string>{"apiVersion=API Version", "label=Label"}));
    EXPECT_EQ(elements(MetadataType::Flow), (std::vector<std::string>{"label=Label", "status=Status",
                                                                      "apiVersion=API Version",
                                                                      "processType=Process Type"}));
}

TEST(FixedTable, ContentFormatsOfTheFixedKinds) {
    const std::pair<MetadataType, std::optional<std::string>> documents[] = {
        {MetadataType::CustomField, "objects/Account/fields/Rating__c.field-meta.xml"},
        {MetadataType::CustomObject, "objects/Account/Account.object-meta.xml"},
        {MetadataType::CustomMetadataType, "objects/Account/Account.object-meta.xml"},
        {MetadataType::PlatformEvent, "objects/Account/Account.object-meta.xml"},
        {MetadataType::ApexClass, "classes/Account.cls-meta.xml"},
        {MetadataType::ApexTrigger, "triggers/Account.trigger-meta.xml"},
        {MetadataType::ApexPage, "pages/Account.page-meta.xml"},
        {MetadataType::Layout, "layouts/Account-Account Layout.layout-meta.xml"},
        {MetadataType::Flow, "flows/Account.flow-meta.xml"},
        {MetadataType::ProductBundle, "productBundles/Account.productBundle-meta.xml"},
        {MetadataType::ConstraintModel, "constraintModels/Account.constraintModel-meta.xml"},
    };
    for (const auto& [type, path] : documents) {
        SCOPED_TRACE(type.wire_id());
        const std::string name = type == MetadataType::CustomField ? "Account.Rating__c"
                                 : type == MetadataType::Layout    ? "Account-Account Layout"
                                                                   : "Account";
        EXPECT_EQ(document_path(type.descriptor().content_format, name), path);
    }
    for (const auto type : {MetadataType::LightningComponentBundle, MetadataType::AuraDefinitionBundle}) {
        EXPECT_EQ(type.descriptor().content_format.decomposed_path("x"), std::unexpected(BundleUnsupported{}));
    }
    EXPECT_EQ(MetadataType::LightningComponentBundle.descriptor().content_format.bundle_file_path("card", "card.js"),
              std::optional<std::string>("lwc/card/card.js"));
    EXPECT_EQ(MetadataType::AuraDefinitionBundle.descriptor().content_format.bundle_file_path("nav", "nav.cmp"),
              std::optional<std::string>("aura/nav/nav.cmp"));
}

TEST(TypeQueries, ObjectDefinitionsAndObjectChildren) {
    std::set<std::string_view> definitions;
    std::set<std::string_view> children;
    for (const auto type : all_metadata_types()) {
        if (type.is_object_definition()) definitions.insert(type.wire_id());
        if (type.is_object_child_or_field()) children.insert(type.wire_id());
    }
    EXPECT_EQ(definitions, (std::set<std::string_view>{"CustomObject", "CustomMetadataType", "PlatformEvent"}));
    EXPECT_EQ(children, (std::set<std::string_view>{"CustomField", "BusinessProcess", "CompactLayout", "FieldSet",
                                                    "Index", "ListView", "RecordType", "SharingReason",
                                                    "ValidationRule", "WebLink"}));
}

TEST(TypeQueries, OnlyApexAndFlowOpenTheTestScreen) {
    std::set<std::string_view> opening;
    for (const auto type : all_metadata_types()) {
        if (type.opens_test_screen()) opening.insert(type.wire_id());
    }
    EXPECT_EQ(opening, (std::set<std::string_view>{"ApexClass", "ApexTrigger", "Flow"}));
}

TEST(TypeQueries, ListingAdmission) {
    struct Case {
        MetadataType type;
        std::string_view name;
        bool admitted;
    };
    const Case cases[] = {
        {MetadataType::CustomObject, "Invoice__c", true},
        {MetadataType::CustomObject, "Account", true},
        {MetadataType::CustomObject, "ns__Invoice__c", true},
        {MetadataType::CustomObject, "Setting__mdt", false},
        {MetadataType::CustomObject, "Alert__e", false},
        {MetadataType::CustomMetadataType, "Setting__mdt", true},
        {MetadataType::CustomMetadataType, "ns__Setting__mdt", false},
        {MetadataType::CustomMetadataType, "Setting__c", false},
        {MetadataType::PlatformEvent, "Alert__e", true},
        {MetadataType::PlatformEvent, "ns__Alert__e", true},
        {MetadataType::PlatformEvent, "Invoice__c", false},
        {MetadataType::CustomField, "anything", true},
        {MetadataType::ApexClass, "ns__Helper", true},
        {*generic_type_by_api_name("CustomTab"), "standard-Account", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.type.object_listing_admits(c.name), c.admitted) << c.type.wire_id() << " " << c.name;
    }
}

TEST(TypeQueries, SelectionLabelsAndSelectability) {
    EXPECT_EQ(MetadataType::CustomField.selection_label(), "Objects & Custom Fields");
    EXPECT_EQ(generic_type_by_api_name("ExpressionSetDefinitionVersion")->selection_label(),
              "Expression Set Definitions");
    EXPECT_EQ(MetadataType::ApexClass.selection_label(), "Apex Classes");
    EXPECT_FALSE(MetadataType::CustomObject.is_selectable());
    EXPECT_FALSE(generic_type_by_api_name("ExpressionSetDefinition")->is_selectable());
    std::size_t unselectable = 0;
    for (const auto type : all_metadata_types()) unselectable += type.is_selectable() ? 0 : 1;
    EXPECT_EQ(unselectable, 2U);
}

TEST(WireIds, LookupOrderAndCase) {
    EXPECT_EQ(MetadataType::from_wire_id("customfield"), std::nullopt);
    EXPECT_EQ(MetadataType::from_wire_id(""), std::nullopt);
    EXPECT_EQ(MetadataType::from_wire_id("CustomMetadataType"), MetadataType::CustomMetadataType);
    EXPECT_EQ(MetadataType::from_wire_id("CustomTab"), generic_type_by_api_name("CustomTab"));
    EXPECT_EQ(MetadataType::from_wire_id("Product2"), MetadataType::DataRecord(15));
    EXPECT_EQ(MetadataType::from_wire_id("product2"), std::nullopt);
    EXPECT_EQ(MetadataType::from_api_name("CustomObject"), MetadataType::CustomObject);
    for (const std::string_view id : {"CustomMetadataType", "PlatformEvent", "ProductBundle", "ConstraintModel",
                                      "Product2", "customobject"}) {
        EXPECT_EQ(MetadataType::from_api_name(id), std::nullopt) << id;
    }
    for (const std::string_view id : {"PermissionSet", "Profile", "PermissionSetGroup", "ContextDefinition",
                                      "DecisionTable", "DecisionTableDatasetLink", "ExpressionSetDefinition",
                                      "ExpressionSetDefinitionVersion", "CustomMetadata", "GlobalValueSet",
                                      "PricingRecipe"}) {
        const auto type = metadata_type_by_wire_id(id);
        ASSERT_TRUE(type.has_value()) << id;
        EXPECT_TRUE(type->is_generic());
        EXPECT_EQ(type->wire_id(), id);
    }
}

TEST(DataRecordTypes, WireIdsLabelsAndMissingDescriptor) {
    for (std::size_t i = 0; i < data::registry::DATA_OBJECTS.size(); ++i) {
        const auto type = MetadataType::DataRecord(i);
        const auto& row = data::registry::DATA_OBJECTS[i];
        EXPECT_EQ(type.wire_id(), row.api_name);
        EXPECT_EQ(MetadataType::from_wire_id(row.api_name), type);
        EXPECT_EQ(type.selection_label(), row.plural_label);
        EXPECT_TRUE(type.is_selectable());
        EXPECT_EQ(type.category(), RevenueCloud);
    }
    const auto type = MetadataType::DataRecord(0);
    try {
        (void)type.descriptor();
        FAIL() << "a record-data type has no descriptor";
    } catch (const support::ProgrammingError& error) {
        EXPECT_STREQ(error.what(), "MetadataType::DataRecord has no TypeDescriptor; see data::registry");
    }
    EXPECT_THROW((void)type.opens_test_screen(), support::ProgrammingError);
    EXPECT_THROW((void)type.is_object_definition(), support::ProgrammingError);
    EXPECT_THROW((void)type.is_object_child_or_field(), support::ProgrammingError);
    EXPECT_THROW((void)type.object_listing_admits("x"), support::ProgrammingError);
}

TEST(Categories, WireIdsAndLabelsInScreenOrder) {
    const std::pair<std::string_view, std::string_view> expected[] = {
        {"Core", "Core"},
        {"ObjectsAndFields", "Objects & Fields"},
        {"Code", "Code"},
        {"UiAndNavigation", "UI & Navigation"},
        {"Automation", "Automation"},
        {"SecurityAndSharing", "Security & Sharing"},
        {"IntegrationAndAuth", "Integration & Auth"},
        {"ServiceCloud", "Service Cloud"},
        {"ExperienceCloud", "Experience Cloud"},
        {"Analytics", "Analytics"},
        {"SalesCloud", "Sales Cloud"},
        {"EmailAndTemplates", "Email & Templates"},
        {"Localization", "Localization"},
        {"Mobile", "Mobile"},
        {"MarketingAndDataCloud", "Marketing & Data Cloud"},
        {"RevenueCloud", "Revenue Cloud"},
        {"Legacy", "Legacy"},
    };
    static_assert(std::size(expected) == kMetadataCategoryCount);
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const auto category = static_cast<MetadataCategory>(i);
        EXPECT_EQ(wire_id(category), expected[i].first);
        EXPECT_EQ(label(category), expected[i].second);
        EXPECT_EQ(metadata_category_from_wire_id(expected[i].first), category);
    }
    EXPECT_EQ(metadata_category_from_wire_id("core"), std::nullopt);
}

TEST(LayoutModes, WireIds) {
    EXPECT_EQ(LayoutComparisonMode::from_wire_id("whole"), LayoutComparisonMode::Whole);
    EXPECT_EQ(LayoutComparisonMode::from_wire_id("elements"), LayoutComparisonMode::Elements);
    for (const std::string_view id : {"", "Whole", "element", " whole"}) {
        EXPECT_EQ(LayoutComparisonMode::from_wire_id(id), std::nullopt) << id;
    }
    EXPECT_EQ(LayoutComparisonMode{LayoutComparisonMode::Elements}.wire_id(), "elements");
}

}  // namespace
}  // namespace ambrel::metadata_types
